#pragma once
// Test helper: a small in-memory AS2 service behind FakeService's responder. It answers the
// queries in the reply shapes the service uses and records nothing of its own; the commands that
// change data are only recorded by the fixture, so a test compares them byte for byte.

#include "support/fakeservice.h"

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

struct MemoryPartner {
    std::string name, as2id, email, alias;
};

struct MemoryPartnership {
    std::string name, sender, receiver;
    std::vector<std::pair<std::string, std::string>> attributes;
};

class MemoryService {
public:
    std::vector<MemoryPartner> partners;
    std::vector<MemoryPartnership> partnerships;
    std::vector<std::string> aliases;
    // Replies given instead of the computed one, by exact command.
    std::map<std::string, Reply> overrides;

    FakeService::Responder responder() {
        return [this](const std::string& command) {
            return answer(command);
        };
    }

    // Adds or replaces the stored partner, as "Partner Add" would.
    void putPartner(const MemoryPartner& partner) {
        std::lock_guard<std::mutex> hold(lock);
        for (MemoryPartner& p : partners)
            if (p.name == partner.name) {
                p = partner;
                return;
            }
        partners.push_back(partner);
    }

    static std::string escape(const std::string& text) {
        std::string out;
        for (char c : text) {
            if (c == '&')
                out += "&amp;";
            else if (c == '<')
                out += "&lt;";
            else if (c == '>')
                out += "&gt;";
            else
                out += c;
        }
        return out;
    }

private:
    Reply answer(const std::string& command) {
        std::lock_guard<std::mutex> hold(lock);
        auto over = overrides.find(command);
        if (over != overrides.end())
            return over->second;
        const std::string partnerView = "Partner View ";
        const std::string partnershipView = "Partnership View ";
        if (command.compare(0, partnerView.size(), partnerView) == 0)
            return viewPartner(command.substr(partnerView.size()));
        if (command.compare(0, partnershipView.size(), partnershipView) == 0)
            return viewPartnership(command.substr(partnershipView.size()));
        if (command == "Partnership List") {
            std::string line;
            for (const MemoryPartnership& p : partnerships)
                line += "<partnership>" + escape(p.name) + "</partnership>";
            return Reply(line.empty() ? std::string(" ") : line);
        }
        if (command == "cert List") {
            std::string line;
            for (const std::string& a : aliases)
                line += "<alias>" + escape(a) + "</alias>";
            return Reply(line.empty() ? std::string(" ") : line);
        }
        return Reply("<ok/>");
    }

    const MemoryPartner* find(const std::string& name) const {
        for (const MemoryPartner& p : partners)
            if (p.name == name)
                return &p;
        return nullptr;
    }

    Reply viewPartner(const std::string& name) const {
        const MemoryPartner* p = find(name);
        if (!p)
            return Reply("Partner not found: " + escape(name));
        return Reply(escape("Partner " + p->name + " {name=" + p->name + ", as2_id=" + p->as2id +
                            ", email=" + p->email + ", x509_alias=" + p->alias + "}"));
    }

    Reply viewPartnership(const std::string& name) const {
        for (const MemoryPartnership& p : partnerships) {
            if (p.name != name)
                continue;
            auto ids = [this](const std::string& partner) {
                const MemoryPartner* known = find(partner);
                return "{name=" + partner + ", as2_id=" + (known ? known->as2id : "") + "}";
            };
            std::string attributes;
            for (const auto& a : p.attributes)
                attributes += (attributes.empty() ? "" : ", ") + a.first + "=" + a.second;
            return Reply(escape("Partnership " + p.name + " Sender IDs = " + ids(p.sender) +
                                " Receiver IDs = " + ids(p.receiver) + " Attributes = {" +
                                attributes + "}"));
        }
        return Reply("Partnership not found: " + escape(name));
    }

    mutable std::mutex lock;
};
