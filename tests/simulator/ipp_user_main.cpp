// A user of the fax printer, for the tests that run it as the users of a
// machine would (each started through setpriv as that user).
//
//   skip_ipp_user station DOC OUT
//       The station's print of DOC into OUT in its steps: once the job is
//       made it says "job N" and waits for a line on standard input before
//       it sends the document; then it waits for the job's end. Exit 0 when
//       OUT was written, else 1 with the reason on standard error.
//   skip_ipp_user send-document JOB FILE USER [more]
//       Sends FILE into the fax printer's job JOB, naming itself USER, as the
//       last document unless "more". Exit 0 when the scheduler took it.
//
// Neither ever asks for a password: a refusal is the answer.
#include "fax/fax_shell_printer.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cups/cups.h>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

namespace {

const char* NoPassword(const char*, http_t*, const char*, const char*, void*)
{
    return nullptr;
}

int Station(const std::string& document, const std::string& out)
{
    FaxPrinter::TShellJob job(document, out, true);
    FaxPrinter::TShellResult r = job.Create();
    if (r.Outcome == FaxPrinter::TShellOutcome::soDone) {
        std::cout << "job " << job.Job() << std::endl;
        std::string go;
        std::getline(std::cin, go);
        r = job.Send();
    }
    if (r.Outcome == FaxPrinter::TShellOutcome::soDone)
        r = job.Wait(std::chrono::steady_clock::now() + std::chrono::minutes(2));
    if (r.Outcome != FaxPrinter::TShellOutcome::soDone) {
        std::cerr << r.Text << std::endl;
        return 1;
    }
    return 0;
}

int SendDocument(int job, const std::string& file, const std::string& user, bool last)
{
    cupsSetUser(user.c_str());
    std::ifstream in(file, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    http_t* http = httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1,
                                30000, nullptr);
    if (!http) {
        std::cerr << "cannot reach the scheduler" << std::endl;
        return 1;
    }
    bool taken = cupsStartDocument(http, FaxPrinter::kQueueName, job, "injected", CUPS_FORMAT_AUTO,
                                   last ? 1 : 0) == HTTP_STATUS_CONTINUE;
    if (taken)
        taken = cupsWriteRequestData(http, bytes.data(), bytes.size()) == HTTP_STATUS_CONTINUE;
    taken = cupsFinishDocument(http, FaxPrinter::kQueueName) == IPP_STATUS_OK && taken;
    if (!taken)
        std::cerr << cupsLastErrorString() << std::endl;
    httpClose(http);
    return taken ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    cupsSetPasswordCB2(NoPassword, nullptr);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "station" && argc == 4)
        return Station(argv[2], argv[3]);
    if (mode == "send-document" && (argc == 5 || argc == 6))
        return SendDocument(std::atoi(argv[2]), argv[3], argv[4], argc == 5);
    std::cerr << "usage: skip_ipp_user station DOC OUT | send-document JOB FILE USER [more]"
              << std::endl;
    return 2;
}
