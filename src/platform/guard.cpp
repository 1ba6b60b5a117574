#include "platform/guard.h"

#include "platform/exceptions.h"
#include "platform/msgbox.h"
#include "platform/textconv.h"

#include <QScopedValueRollback>
#include <QString>
#include <exception>

namespace {
bool Running = false;
} // namespace

bool HandlerRunning() {
    return Running;
}

bool RunGuarded(const std::function<void()>& handler) {
    if (Running)
        return false;
    const QScopedValueRollback<bool> running(Running, true);
    try {
        handler();
    } catch (const Exception& e) {
        ShowErrorMessage(ToQString(e.Message));
    } catch (const std::exception& e) {
        ShowErrorMessage(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        ShowErrorMessage(QStringLiteral("An unexpected error occurred"));
    }
    return true;
}
