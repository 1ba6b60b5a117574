#pragma once
// Certificate files for the suites: made with the openssl program at run time, or, for a
// validity in the past that openssl cannot give a new certificate, kept in data/ beside this file.

#include <QString>
#include <QStringList>

// Runs openssl with these arguments; false, with what it said as a warning, when it fails.
bool openssl(const QStringList& args);

// A file of data/: expired.cer is a DER certificate, RSA 2048, "CN=Expired Partner, O=Acme
// Trading" issued by "CN=Vantrel Test CA, O=Vantrel Test", valid from 2020-01-01 to 2021-01-01
// (00:00 UTC), SHA-256 65:00:41:68:...:DA:6E:8B:C9 (ExpiredSha256).
QString supportDataFile(const QString& name);
extern const char ExpiredSha256[];

// Dates show in the operator's locale and time zone: the suites fix both, British English and
// Europe/London (which is UTC in winter and an hour ahead in summer).
void FixLocaleAndTimeZone();
