#pragma once
// The alias under which a certificate import stores the next certificate of a partner.

#include <string>

// The alias that follows the one a certificate field shows: the text with ":0" appended when it
// holds no colon, else the counter behind the first colon plus one, wrapping in 32 bits.
// EConvertError when the counter is no integer.
std::string NextCertificateAlias(const std::string& fieldText);

// The alias that follows the partner's certificate, or its name when it names none.
std::string NextImportAlias(const std::string& certificate, const std::string& partnerName);
