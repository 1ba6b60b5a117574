#include "model/certalias.h"

#include "platform/strtoint.h"

std::string NextCertificateAlias(const std::string& fieldText) {
    const size_t colon = fieldText.find(':');
    if (colon == std::string::npos)
        return fieldText + ":0";
    // Everything behind the first colon is the counter, so "a:1:2" is refused rather than guessed.
    const int32_t counter = StrToInt(fieldText.substr(colon + 1));
    const uint32_t next = static_cast<uint32_t>(counter) + 1u;
    const int64_t wrapped = next <= static_cast<uint32_t>(INT32_MAX)
                                ? static_cast<int64_t>(next)
                                : static_cast<int64_t>(next) - (INT64_C(1) << 32);
    return fieldText.substr(0, colon) + ":" + std::to_string(wrapped);
}

std::string NextImportAlias(const std::string& certificate, const std::string& partnerName) {
    return NextCertificateAlias(certificate.empty() ? partnerName : certificate);
}
