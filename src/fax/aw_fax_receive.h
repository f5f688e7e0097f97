#pragma once

#include "fax/aw_fax.h"

// The receive state machine: answers fax calls and writes each received
// fax into an APF file, in the port's dispatch thread like the send machine.
enum ReceiveStates : uint8_t {
    rfNone,
    rfInit,
    rf1Init1,
    rf2Init1,
    rf2Init1A,
    rf2Init1B,
    rf2Init2,
    rf2Init3,
    rfWaiting,
    rfAnswer,
    rf1SendCSI,
    rf1SendDIS,
    rf1CollectFrames,
    rf1CollectRetry1,
    rf1CollectRetry2,
    rf1StartTrain,
    rf1CollectTrain,
    rf1Timeout,
    rf1Retrain,
    rf1FinishTrain,
    rf1SendCFR,
    rf1WaitPageConnect,
    rf2ValidConnect,
    rf2GetSenderID,
    rf2GetConnect,
    rfStartPage,
    rfGetPageData,
    rf1FinishPage,
    rf1WaitEOP,
    rf1WritePage,
    rf1SendMCF,
    rf1WaitDCN,
    rf1WaitHangup,
    rf2GetPageResult,
    rf2GetFHNG,
    rfComplete,
    rfAbort,
    rfDone
};
inline constexpr int kReceiveStateCount = rfDone + 1;

// The status of the page to come.
enum ReceivePageStatus : uint8_t {
    rpsBadPage,
    rpsMoreSame,
    rpsNewPage,
    rpsNewDocument,
    rpsEndOfDocument
};

const char* ReceiveStateName(ReceiveStates state);

// Sets a run up for a call already connected: the call's counters cleared
// as rfInit clears them, page status rpsNewDocument, the state where
// answering hands over (rf2GetSenderID; rf1SendCSI in Class 1), the reply
// time-out armed and the call's first status report sent.
void rfStartConnected(PFaxRec FP);

// The trigger handler, with the arguments of fFaxTransmit.
void fFaxReceive(uint32_t Msg, uint32_t wParam, int32_t lParam);
