#pragma once
// A scripted service on loopback and a channel to it, for one test: the in-memory service answers
// unless the test gives a responder of its own.

#include "channel/cmds.h"
#include "support/fakeservice.h"
#include "support/memoryservice.h"

#include <string>
#include <vector>

struct ServiceFixture {
    explicit ServiceFixture(FakeService::Responder responder = {}, int timeoutMs = 2000)
        : service(responder ? std::move(responder) : memory.responder()),
          channel(nullptr, FakeService::host, service.port(), timeoutMs) {}

    // Every command the service received. The channel's last connection is closed first, and the
    // service is waited for until it has seen every connection end.
    std::vector<std::string> sent() {
        channel.TcpClient.Close();
        service.waitUntilIdle();
        return service.commands();
    }

    MemoryService memory;
    FakeService service;
    TCommandHandler channel;
};
