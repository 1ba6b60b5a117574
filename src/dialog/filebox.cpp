#include "dialog/filebox.h"

#include "model/partnerlink.h"
#include "platform/msgbox.h"
#include "platform/textconv.h"

#include <QWidget>

void ShowFileBehind(QWidget* window, const TPartnerLink& link) {
    if (link.FileBehind().empty())
        return;
    TMsgDlgOptions options;
    options.icon = mtInformation;
    options.parent = window;
    MessageDlg(window->windowTitle(),
               ToQString(link.FileBehind()) +
                   QStringLiteral(". OK brings the file in line; the AS2 service must then be "
                                  "restarted."),
               mtCustom, MsgButton(mbOK), 0, options);
}
