#pragma once
// The "Partnership Store" connections a channel keeps open for their answers. The service finishes
// each command before it answers the next connection, so once a later query has been answered,
// what such a connection holds is the store's whole answer, line end or not.

#include "platform/tcpclient.h"

#include <memory>
#include <string>
#include <vector>

class TPendingStores {
public:
    void Add(std::unique_ptr<TTcpClient> connection);
    // Reads what each open connection holds, waiting no more than a moment, and closes it.
    void Settle();
    // The answer of each store added since the last call, in order: the text of an error element
    // that begins it, else empty (it stored, or said nothing: the port promises no answer).
    std::vector<std::string> Take();

private:
    struct TStore {
        std::unique_ptr<TTcpClient> Connection; // open until settled
        std::string Answer;
    };
    std::vector<TStore> Stores;
};
