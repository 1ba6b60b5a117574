#include "model/certalias.h"

#include "platform/strtoint.h"

std::string NextCertificateAlias(const std::string& fieldText) {
    const size_t colon = fieldText.find(':');
    if (colon == std::string::npos)
        return fieldText + ":0";
    // Everything behind the first colon is the counter, so "a:1:2" is refused rather than guessed.
    const int32_t counter = StrToInt(fieldText.substr(colon + 1));
    return fieldText.substr(0, colon) + ":" +
           std::to_string(counter == INT32_MAX ? INT32_MIN : counter + 1);
}

std::string NextImportAlias(const std::string& certificate, const std::string& partnerName) {
    return NextCertificateAlias(certificate.empty() ? partnerName : certificate);
}
