#include "platform/print_service.h"

#include "platform/text.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <cstdlib>

namespace PrintService {

std::string Command()
{
    const char* command = std::getenv("SKIPMAIL_LP");
    return command && *command ? command : "lp";
}

TPrintResult PrintFile(const std::string& path, const std::string& title, int timeoutMs)
{
    const std::string command = Command();
    QProcess lp;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    lp.setProcessEnvironment(env);
    lp.setProcessChannelMode(QProcess::MergedChannels);
    const QString file = QFile::decodeName(QByteArray::fromStdString(path));
    lp.start(QFile::decodeName(QByteArray::fromStdString(command)),
             {QStringLiteral("-t"), ToQt(title), QStringLiteral("--"),
              QFileInfo(file).absoluteFilePath()});
    TPrintResult result;
    if (!lp.waitForStarted(timeoutMs)) {
        result.Outcome = TPrintOutcome::poNoPrinter;
        result.Text = command + " cannot be started";
        return result;
    }
    if (!lp.waitForFinished(timeoutMs)) {
        lp.kill();
        lp.waitForFinished();
        result.Outcome = TPrintOutcome::poTimedOut;
        result.Text = command + " did not answer";
        return result;
    }
    result.Text = FromQt(QString::fromLocal8Bit(lp.readAll()).trimmed());
    if (lp.exitStatus() == QProcess::NormalExit && lp.exitCode() == 0) {
        result.Outcome = TPrintOutcome::poPrinted;
    } else if (result.Text.find("No default destination") != std::string::npos ||
               result.Text.find("does not exist") != std::string::npos) {
        result.Outcome = TPrintOutcome::poNoPrinter;
    } else {
        result.Outcome = TPrintOutcome::poFailed;
        if (result.Text.empty())
            result.Text = command + " failed with code " + std::to_string(lp.exitCode());
    }
    return result;
}

} // namespace PrintService
