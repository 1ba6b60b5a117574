#pragma once
// The window's information boxes: a certificate file before it is imported, and a configuration
// file behind the service.

#include "platform/certfile.h"

#include <string>

class QWidget;
class TPartnerLink;

// Shows what the file holds (the local certificate's when a password is given) and any warning,
// and returns true when the operator chose Import; a file the dialog cannot read may be imported
// anyway: the service reads it itself.
bool ConfirmCertificateImport(QWidget* parent, const std::string& path,
                              const std::string* password);

// A box titled as the window when the file the link read at its load was behind the service.
void ShowFileBehind(QWidget* window, const TPartnerLink& link);
