#include "channel/cmds.h"
#include "platform/exceptions.h"
#include "platform/textconv.h"

#include <utility>

namespace {

// The text of the error element that begins what a store's connection held, else empty.
std::string StoreError(const std::string& held) {
    const std::size_t begin = held.find_first_not_of("\r\n");
    if (begin == std::string::npos || held.compare(begin, 6, "<error") != 0)
        return std::string();
    const std::string line = held.substr(begin, held.find("\r\n", begin) - begin);
    QDomDocument doc;
    std::string text;
    try {
        text = ToStdString(TCommandHandler::ParseReply(line, doc).firstChildElement().text());
    } catch (const Exception&) {
        text = line; // an error the service did not finish writing
    }
    return text.empty() ? std::string("the service gave no reason") : text;
}

} // namespace

void TCommandHandler::SettleStores() {
    for (std::unique_ptr<TTcpClient>& connection : Stores) {
        std::string held;
        char piece[4096];
        for (TReceiveResult got{TReceiveStatus::Data, 0};
             got.Status == TReceiveStatus::Data && held.size() < MaxReplyLineBytes;) {
            got = connection->ReceiveBuf(piece, sizeof piece, QDeadlineTimer(1));
            held.append(piece, got.Count); // none when it ended
        }
        connection.reset();
        StoreErrors.push_back(StoreError(held));
    }
    Stores.clear();
}

std::vector<std::string> TCommandHandler::StoreAnswers() {
    SettleStores();
    return std::exchange(StoreErrors, {});
}
