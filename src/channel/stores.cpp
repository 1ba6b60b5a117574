#include "channel/stores.h"

#include "channel/cmds.h"
#include "platform/exceptions.h"
#include "platform/textconv.h"

void TPendingStores::Add(std::unique_ptr<TTcpClient> connection) {
    connection->WhileWaiting = nullptr; // the hook may be gone by the time the answer is read
    Stores.push_back({std::move(connection), std::string()});
}

void TPendingStores::Settle() {
    for (TStore& store : Stores) {
        if (!store.Connection)
            continue;
        std::string held;
        char piece[4096];
        for (TReceiveResult got{TReceiveStatus::Data, 0};
             got.Status == TReceiveStatus::Data && held.size() < MaxReplyLineBytes;) {
            got = store.Connection->ReceiveBuf(piece, sizeof piece, QDeadlineTimer(1));
            if (got.Status == TReceiveStatus::Data)
                held.append(piece, got.Count);
        }
        store.Connection.reset();
        const std::size_t begin = held.find_first_not_of("\r\n");
        if (begin == std::string::npos || held.compare(begin, 6, "<error") != 0)
            continue;
        const std::string line = held.substr(begin, held.find("\r\n", begin) - begin);
        QDomDocument doc;
        std::string text;
        try {
            text = ToStdString(TCommandHandler::ParseReply(line, doc).firstChildElement().text());
        } catch (const Exception&) {
            text = line; // an error the service did not finish writing
        }
        store.Answer = text.empty() ? std::string("the service gave no reason") : text;
    }
}

std::vector<std::string> TPendingStores::Take() {
    Settle();
    std::vector<std::string> answers;
    for (TStore& store : Stores)
        answers.push_back(std::move(store.Answer));
    Stores.clear();
    return answers;
}
