#pragma once

#include "fax/aw_fax.h"

// The send state machine: registered by afStartFax as the port's trigger
// handler, it runs in the port's dispatch thread, one handler call per
// trigger, and sends the faxes the components hand it one after another.
enum SendStates : uint8_t {
    tfNone,
    tfGetEntry,
    tfInit,
    tf1Init1,
    tf2Init1,
    tf2Init1A,
    tf2Init1B,
    tf2Init2,
    tf2Init3,
    tfDial,
    tfRetryWait,
    tf1Connect,
    tf1SendTSI,
    tf1TSIResponse,
    tf1DCSResponse,
    tf1TrainStart,
    tf1TrainFinish,
    tf1WaitCFR,
    tf1WaitPageConnect,
    tf2Connect,
    tf2GetParams,
    tfWaitXon,
    tfWaitFreeHeader,
    tfSendPageHeader,
    tfOpenCover,
    tfSendCover,
    tfPrepPage,
    tfSendPage,
    tfDrainPage,
    tf1PageEnd,
    tf1PrepareEOP,
    tf1SendEOP,
    tf1WaitMPS,
    tf1WaitEOP,
    tf1WaitMCF,
    tf1SendDCN,
    tf1Hangup,
    tf1WaitHangup,
    tf2SendEOP,
    tf2WaitFPTS,
    tf2WaitFET,
    tf2WaitPageOK,
    tf2SendNewParams,
    tf2NextPage,
    tf20CheckPage,
    tfClose,
    tfCompleteOK,
    tfAbort,
    tfDone
};
inline constexpr int kSendStateCount = tfDone + 1;

const char* SendStateName(SendStates state);

// The trigger handler (Msg 0x7E01 data, 0x7E03 timer, 0x7E04 status, or
// apw_FaxCancel; wParam the trigger handle; lParam's high word the port).
void fFaxTransmit(uint32_t Msg, uint32_t wParam, int32_t lParam);
