#pragma once
// The box that shows a certificate file before it is imported, and asks whether to import it.

#include "platform/certfile.h"

#include <string>

class QWidget;

// Reads the file at path (UTF-8) as the import of the local certificate with its password
// (UTF-8, as the command carries them), or of the remote one when there is none; shows what it
// holds and any warning in one box over parent, and returns true when the operator chose Import.
// A file the dialog cannot read is said so, and may be imported anyway: the service reads it
// itself.
bool ConfirmCertificateImport(QWidget* parent, const std::string& path,
                              const std::string* password);
