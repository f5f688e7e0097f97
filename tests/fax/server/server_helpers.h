#pragma once

#include "platform/date_time.h"

#include <QJsonObject>
#include <string>

// Tools of the fax server tests: the Python job file oracle, dates, and
// small fax files.
namespace FaxServerTest {

// The job file as the oracle reads it.
QJsonObject OracleDump(const std::string& jobFile);
// A job file written by the oracle from its JSON description.
void OracleWrite(const std::string& jobFile, const QJsonObject& job);

TDateTime At(int year, int month, int day, int hour, int minute, int second);
// As the oracle prints it: "2024-03-05T14:07:09.000".
std::string Iso(TDateTime value);

// A one-page APF file (a few coded lines) with its first `seed` lines
// different, so files differ.
void MakeSmallApf(const std::string& path, int seed, int pages = 1);

} // namespace FaxServerTest
