// What scripts/fax-printer-install cannot do in a shell, which acts on a
// name again after checking it:
//
//   printfax_setup folder FOLDER
//       Makes or checks the fax printer folder FOLDER and users/ in it
//       through the descriptors of the folders it checked
//       (fax/fax_printer_folder.h), and opens the folder to every user with
//       the sticky bit. Exit 1 with the words to say, which start with the
//       path, when it refuses.
//   printfax_setup policy QUEUE
//       Says the operation policy of the queue QUEUE, nothing when there is
//       no such queue. Exit 1 with the scheduler's words when it cannot
//       tell.
#include "fax/fax_printer_folder.h"
#include "platform/command_line.h"

#include <cstdio>
#include <cups/cups.h>
#include <string>
#include <sys/stat.h>

namespace {

constexpr const char* kProgram = "printfax_setup";
constexpr const char* kUsage =
    "usage: printfax_setup folder FOLDER\n"
    "       printfax_setup policy QUEUE\n"
    "\n"
    "The fax printer install's own steps (scripts/fax-printer-install runs them).\n"
    "\n"
    "  folder FOLDER  make or check the fax printer folder FOLDER and users/ in\n"
    "                 it, and open it to every user with the sticky bit; a\n"
    "                 refusal is said on standard error, status 1\n"
    "  policy QUEUE   say the operation policy of the CUPS queue QUEUE, nothing\n"
    "                 where there is no such queue\n"
    "  -h, --help     this text\n"
    "\n"
    "Environment:\n"
    "  CUPS_SERVER  the print service asked (else the local one)\n";

int Folder(const std::string& path)
{
    ::umask(022);
    std::string said;
    if (FaxPrinter::SetUpFolder(path, said))
        return 0;
    std::fprintf(stderr, "%s\n", said.c_str());
    return 1;
}

int Policy(const std::string& queue)
{
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(),
                     "/printers/%s", queue.c_str());
    ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
                 "printer-op-policy");
    ipp_t* response = cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
    const ipp_status_t status = cupsLastError();
    int code = 0;
    if (status == IPP_STATUS_ERROR_NOT_FOUND) {
        code = 0;
    } else if (status > IPP_STATUS_OK_CONFLICTING) {
        std::fprintf(stderr, "cannot ask the print service about %s: %s\n", queue.c_str(),
                     cupsLastErrorString());
        code = 1;
    } else if (ipp_attribute_t* a = ippFindAttribute(response, "printer-op-policy", IPP_TAG_NAME)) {
        std::printf("%s\n", ippGetString(a, 0, nullptr));
    }
    ippDelete(response);
    return code;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string command = argc >= 2 ? argv[1] : "";
    if (CommandLine::IsHelp(command))
        return CommandLine::Help(kUsage);
    if (command != "folder" && command != "policy")
        return command.empty() ? CommandLine::Refuse(kProgram, "folder or policy is needed", kUsage)
                               : CommandLine::Unknown(kProgram, command, kUsage);
    if (argc > 3)
        return CommandLine::Unknown(kProgram, argv[3], kUsage);
    if (argc < 3)
        return CommandLine::Refuse(
            kProgram, command + " needs its " + (command == "folder" ? "FOLDER" : "QUEUE"), kUsage);
    return command == "folder" ? Folder(argv[2]) : Policy(argv[2]);
}
