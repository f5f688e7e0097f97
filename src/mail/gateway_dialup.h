#pragma once

#include <string>
#include <vector>

// The dial-up side of the mail gateway. While [GATEWAY] DIALUPENABLED is
// set, every connection that TMailGateway starts goes through it instead of
// the local network; the gateway owns one (TMailGateway::SetDialup) and
// frees it before itself.
//
// The contract, thread by thread:
// - StartDialupConnection (GUI thread) is called with the gateway's Dialling
//   set and the start line logged. It dials DIALUPCONNECTION with
//   DIALUPLOGINNAME and DIALUPPASSWORD on a thread of its own. Once the line
//   is up, that thread calls TMailGateway::RunExchange() (sending, then
//   fetching unless the connection is send-only; it blocks) and then
//   TMailGateway::SchedulePoll(), which calls HangupConnection on that same
//   thread and announces the next polled connection.
// - A false result means that nothing was dialled (the reason logged); the
//   gateway then goes back to idle and moves the next poll one interval on.
// - HangupConnection is called by SchedulePoll at the end of an exchange (on
//   the dial thread) and by the operator's stop (GUI thread, after the
//   gateway has aborted the exchange). When the line is down, or a dial
//   fails, the dial-up side calls TMailGateway::SetIdle(); after a failed
//   dial also TMailGateway::ScheduleRetry(). It sets
//   TMailGateway::Schedule.RefreshPending after each hang-up, so that times
//   passed during the connection are not made up for.
// - Every TMailGateway call named here is safe from any thread; log lines go
//   through TMailGateway::AddLogLine. The gateway's POPTimer keeps running
//   through every failure: nothing on this side needs to stop or start it.
class TGatewayDialup {
public:
    virtual ~TGatewayDialup() = default;

    // The phone-book entries, for the settings dialog's connection list.
    virtual std::vector<std::string> ListEntries() = 0;
    virtual bool StartDialupConnection() = 0;
    virtual void HangupConnection() = 0;
};
