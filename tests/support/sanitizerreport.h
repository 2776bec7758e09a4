#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Sanitizer reports in what a program started by a test wrote on its standard error.
//
// Every instrumented program of the project runs with the project's sanitizer settings, also
// when a test starts it with an environment of its own (cmake/VardelSanitizerDefaults.cmake):
// a race, an overrun, a leak or undefined behaviour in it is written to its standard error, and
// it ends with the sanitizer's status. A test that starts one of our programs checks that text:
//
//     const QString report = sanitizer::reportIn(program.readAllStandardError());
//     QVERIFY2(report.isEmpty(), qPrintable(report));
//
// The reports recognised begin with "WARNING: ThreadSanitizer", "ERROR: AddressSanitizer",
// "ERROR: LeakSanitizer" or "runtime error:" (UndefinedBehaviorSanitizer), and end with their
// SUMMARY line (or, for undefined behaviour, after its stack).
namespace sanitizer {

// Empty when `stderrText` holds no report. Otherwise each report is printed whole to the
// test's own output (QTest cuts a failure message at about 1000 characters), and the result is
// a short message for the failure that names the first one by its summary.
QString reportIn(const QByteArray &stderrText);

// Each report in `stderrText`, whole, in order; printed nowhere.
QStringList reports(const QByteArray &stderrText);

} // namespace sanitizer
