#include "fax/server/server_helpers.h"

#include "fax/apf_file.h"
#include "fax/fax_test_helpers.h"

#include <QJsonDocument>
#include <cstdio>
#include <stdexcept>

namespace FaxServerTest {

namespace {
std::string Oracle()
{
    return std::string(std::getenv("SKIPMAIL_SOURCE_DIR")) + "/tests/fax/server/apj_oracle.py";
}
} // namespace

QJsonObject OracleDump(const std::string& jobFile)
{
    const std::string out = jobFile + ".json";
    if (FaxTest::Shell("python3 '" + Oracle() + "' dump '" + jobFile + "' > '" + out + "'") != 0)
        throw std::runtime_error("oracle failed on " + jobFile);
    const auto doc = QJsonDocument::fromJson(QByteArray::fromStdString(FaxTest::ReadFile(out)));
    std::remove(out.c_str());
    return doc.object();
}

void OracleWrite(const std::string& jobFile, const QJsonObject& job)
{
    const std::string in = jobFile + ".json";
    FaxTest::WriteFile(in, QJsonDocument(job).toJson().toStdString());
    const int rc =
        FaxTest::Shell("python3 '" + Oracle() + "' write '" + jobFile + "' < '" + in + "'");
    std::remove(in.c_str());
    if (rc != 0)
        throw std::runtime_error("oracle could not write " + jobFile);
}

TDateTime At(int year, int month, int day, int hour, int minute, int second)
{
    TDateTime d = 0, t = 0;
    TryEncodeDate(year, month, day, d);
    TryEncodeTime(hour, minute, second, 0, t);
    return d + t;
}

std::string Iso(TDateTime value)
{
    int y, mo, d, h, mi, s, ms;
    DecodeDate(value, y, mo, d);
    DecodeTime(value, h, mi, s, ms);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", y, mo, d, h, mi, s, ms);
    return buf;
}

void MakeSmallApf(const std::string& path, int seed, int pages)
{
    TApfWriter w;
    if (w.Create(path) != 0)
        throw std::runtime_error("cannot create " + path);
    for (int p = 0; p < pages; ++p) {
        w.BeginPage(0);
        for (int i = 0; i < seed + p + 1; ++i)
            w.AddLine(kApfBlankLine.data(), kApfBlankLine.size());
        w.EndPage();
    }
    w.Close("TEST");
}

} // namespace FaxServerTest
