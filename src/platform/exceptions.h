#pragma once
// The failures the system raises. Each carries its operator-facing Message (UTF-8); lower layers
// catch one only to add what it means there, and the faces show it (the window in its one guard).

#include <exception>
#include <string>

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : Message(std::move(message)) {}
    const char* what() const noexcept override { return Message.c_str(); }

    std::string Message;
};

#define VANTREL_DECLARE_EXCEPTION(Name, Base)                                                      \
    class Name : public Base {                                                                     \
    public:                                                                                        \
        using Base::Base;                                                                          \
    }

VANTREL_DECLARE_EXCEPTION(EDOMParseError, Exception);
VANTREL_DECLARE_EXCEPTION(EXMLDocError, Exception);
VANTREL_DECLARE_EXCEPTION(EListError, Exception);
VANTREL_DECLARE_EXCEPTION(EConvertError, Exception);
VANTREL_DECLARE_EXCEPTION(EFOpenError, Exception);
VANTREL_DECLARE_EXCEPTION(EFCreateError, Exception);
VANTREL_DECLARE_EXCEPTION(EWriteError, Exception);
// The file holds NUL bytes or starts with a UTF-16 byte-order mark.
VANTREL_DECLARE_EXCEPTION(ENotTextFileError, Exception);
// The AS2 service cannot be reached, did not take a command, or did not answer.
VANTREL_DECLARE_EXCEPTION(EServiceError, Exception);
// The operator cancelled a wait on the service.
VANTREL_DECLARE_EXCEPTION(ECancelled, Exception);
// Refused before anything was sent.
VANTREL_DECLARE_EXCEPTION(ERefusedError, Exception);
// Text that would change the meaning of a command line if it were sent.
VANTREL_DECLARE_EXCEPTION(EUnsafeCommandText, ERefusedError);
// The dialog's current state cannot do what was asked (OK after a failed load).
VANTREL_DECLARE_EXCEPTION(EDialogStateError, ERefusedError);

#undef VANTREL_DECLARE_EXCEPTION

// Builds a message from a printf-style format, as the system's fixed message formats are written.
[[gnu::format(printf, 1, 2)]] std::string Format(const char* format, ...);
