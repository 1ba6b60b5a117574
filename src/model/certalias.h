#pragma once
// The alias under which a certificate import stores the next certificate of a partner.

#include <string>

// The alias that follows the one a certificate field shows: the text with ":0" appended when it
// holds no colon, else the text before the first colon, ":" and the counter behind it plus one
// (wrapping in 32 bits). fieldText is the field as the import handler left it, i.e. already
// holding the partner name when it was empty. Raises EConvertError when the counter text is no
// integer.
std::string NextCertificateAlias(const std::string& fieldText);

// The alias an Import stores a partner's next certificate under: the one that follows the
// certificate the partner names, or its name when it names none.
std::string NextImportAlias(const std::string& certificate, const std::string& partnerName);
