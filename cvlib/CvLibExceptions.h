#pragma once

// The exception log: a text file with one line for every exception that reached the
// program's handler: local time (ISO 8601 with offset), class and message, separated by tabs.

#include <QString>

namespace cvlib {

// The log's current file. Until SetExceptionLogFileName moves it, it lies in the temporary
// folder and is named after the application: "<application>-exceptions.log".
QString GetExceptionLogFileName();

// Makes fileName the log. A current log with content is moved there: appended to a log
// already at the new place (an earlier run's lines stay) and then removed. On an error the
// log stays where it was and the error is returned.
int SetExceptionLogFileName(const QString& fileName);

// Appends one line for an exception. Line breaks and tabs in class or message are written as
// \n, \r and \t so that each exception stays one line. Safe from several threads and
// processes: one write on a file opened for appending. Returns an error code.
int ReportException(const QString& className, const QString& message);

}  // namespace cvlib
