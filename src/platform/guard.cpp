#include "platform/guard.h"

#include "platform/exceptions.h"
#include "platform/msgbox.h"
#include "platform/textconv.h"

#include <QString>
#include <exception>

void RunGuarded(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const Exception& e) {
        ShowErrorMessage(ToQString(e.Message));
    } catch (const std::exception& e) {
        ShowErrorMessage(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        ShowErrorMessage(QStringLiteral("An unexpected error occurred"));
    }
}
