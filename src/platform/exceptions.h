#pragma once
// The failures the system raises. Each carries its operator-facing Message (UTF-8); model and
// channel code never catch them, the dialog's one guard shows them.

#include <exception>
#include <string>

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : Message(std::move(message)) {}
    const char* what() const noexcept override { return Message.c_str(); }

    std::string Message;
};

#define VANTREL_DECLARE_EXCEPTION(Name)                                                            \
    class Name : public Exception {                                                                \
    public:                                                                                        \
        using Exception::Exception;                                                                \
    }

VANTREL_DECLARE_EXCEPTION(EDOMParseError);
VANTREL_DECLARE_EXCEPTION(EXMLDocError);
VANTREL_DECLARE_EXCEPTION(EListError);
VANTREL_DECLARE_EXCEPTION(EConvertError);
VANTREL_DECLARE_EXCEPTION(EFOpenError);
VANTREL_DECLARE_EXCEPTION(EFCreateError);
VANTREL_DECLARE_EXCEPTION(EWriteError);
// The AS2 service cannot be reached, did not take a command, or did not answer.
VANTREL_DECLARE_EXCEPTION(EServiceError);
// The operator cancelled a wait on the service.
VANTREL_DECLARE_EXCEPTION(ECancelled);
// Refused before anything was sent.
VANTREL_DECLARE_EXCEPTION(ERefusedError);

#undef VANTREL_DECLARE_EXCEPTION

// Text that would change the meaning of a command line if it were sent.
class EUnsafeCommandText : public ERefusedError {
public:
    using ERefusedError::ERefusedError;
};
// The dialog's current state cannot do what was asked (OK after a failed load).
class EDialogStateError : public ERefusedError {
public:
    using ERefusedError::ERefusedError;
};

// Builds a message from a printf-style format, as the system's fixed message formats are written.
[[gnu::format(printf, 1, 2)]] std::string Format(const char* format, ...);
