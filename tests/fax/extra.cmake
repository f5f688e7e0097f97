# The engine on the simulated telephone line: audio in real time (or a little
# faster), whose protocol deadlines a busy machine can make it miss.
set(load_tests "FaxLine.*:FaxPeers.*:FaxReceive.Class1FromSpandspTerminal:\
FaxReceive.OurTransmitterToOurReceiver:*FaxReceiveRates.*:FaxTransmit.Class1ToSpandspTerminal:\
FaxTransmit.TextCoverAndHeaderLine:*FaxTransmitRates.*")
