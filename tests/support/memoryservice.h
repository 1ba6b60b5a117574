#pragma once
// A small in-memory AS2 service behind FakeService's responder. It answers the queries in the
// reply shapes the service uses and carries out "Partner Add", "Partnership Add" and their
// deletes and "Cert import" (which lists the alias), so what a save sent can be read back. Faults
// can be planted: the service can stop after a number of commands (it then closes every later
// connection without a word, like a service that has gone while the system still takes the
// connections), and a given command can be dropped or changed before it is carried out (it is still
// recorded as sent).

#include "support/fakeservice.h"

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

struct MemoryPartner {
    std::string name, as2id, email, alias;
    std::vector<std::pair<std::string, std::string>> others = {}; // after the three, in order
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
    // Commands carried out as another command, by exact command; an empty one is dropped.
    std::map<std::string, std::string> rewrites;
    // How the views print, within what the service may do: settings without a value left out,
    // and a partnership's three lists from the last to the first.
    bool omitEmpty = false;
    bool listsReversed = false;
    // A service that stamps "modified" on each record it adds.
    bool stamps = false;
    // AS2 IDs the partnership views give for a partner, whatever the partner holds now.
    std::map<std::string, std::string> viewIDs;

    // How long the service takes over each command before it answers, by command; none when
    // unset. Called on the service's thread.
    std::function<int(const std::string& command)> delayMs;

    // The service goes after carrying out n more commands; negative: it stays.
    void goAfter(int n) {
        std::lock_guard<std::mutex> hold(lock);
        stopAfter = n < 0 ? -1 : carriedOut + n;
    }

    FakeService::Responder responder() {
        return [this](const std::string& command) {
            return answer(command);
        };
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
    static bool takes(const std::string& command, const std::string& prefix, std::string& rest) {
        if (command.compare(0, prefix.size(), prefix) != 0)
            return false;
        rest = command.substr(prefix.size());
        return true;
    }

    // The name up to the next blank, which is passed over.
    static std::string word(const std::string& text, std::size_t& at) {
        const std::size_t blank = std::min(text.find(' ', at), text.size());
        std::string name = text.substr(at, blank - at);
        at = std::min(blank + 1, text.size());
        return name;
    }

    // name="value" settings separated by one blank; the values hold no double quote.
    static std::vector<std::pair<std::string, std::string>> settings(const std::string& text,
                                                                     std::size_t at) {
        std::vector<std::pair<std::string, std::string>> out;
        while (at < text.size()) {
            const std::size_t equals = text.find("=\"", at);
            const std::size_t close = text.find('"', equals + 2);
            if (equals == std::string::npos || close == std::string::npos)
                break;
            out.emplace_back(text.substr(at, equals - at),
                             text.substr(equals + 2, close - equals - 2));
            at = close + 2;
        }
        return out;
    }

    static std::string setting(const std::vector<std::pair<std::string, std::string>>& all,
                               const std::string& name) {
        for (const auto& pair : all)
            if (pair.first == name)
                return pair.second;
        return std::string();
    }

    template <class T> static void put(std::vector<T>& records, T record) {
        for (T& existing : records)
            if (existing.name == record.name) {
                existing = std::move(record);
                return;
            }
        records.push_back(std::move(record));
    }

    template <class T> static void remove(std::vector<T>& records, const std::string& name) {
        for (auto it = records.begin(); it != records.end(); ++it)
            if (it->name == name) {
                records.erase(it);
                return;
            }
    }

    Reply answer(const std::string& command) {
        Reply reply = carryOut(command);
        const int delay = delayMs ? delayMs(command) : 0;
        if (delay > 0 && reply.end != Reply::End::Abort) {
            reply.chunks.insert(reply.chunks.begin(), std::string()); // nothing, then the pause
            reply.pauseMs = delay;
        }
        return reply;
    }

    void stamp(std::vector<std::pair<std::string, std::string>>& pairs) {
        const std::string now = std::to_string(++stamped);
        for (auto& pair : pairs)
            if (pair.first == "modified")
                return void(pair.second = now);
        pairs.emplace_back("modified", now);
    }

    Reply carryOut(std::string command) {
        std::lock_guard<std::mutex> hold(lock);
        if (stopAfter >= 0 && carriedOut >= stopAfter)
            return Reply::CloseAtOnce();
        ++carriedOut;
        auto over = overrides.find(command);
        if (over != overrides.end())
            return over->second;
        auto rewrite = rewrites.find(command);
        if (rewrite != rewrites.end())
            command = rewrite->second;

        std::string rest;
        if (takes(command, "Partner View ", rest))
            return viewPartner(rest);
        if (takes(command, "Partnership View ", rest))
            return viewPartnership(rest);
        if (takes(command, "Partner Add ", rest)) {
            std::size_t at = 0;
            const std::string name = word(rest, at);
            const auto all = settings(rest, at);
            MemoryPartner partner{name,
                                  setting(all, "as2_id"),
                                  setting(all, "email"),
                                  setting(all, "x509_alias"),
                                  {}};
            for (const auto& pair : all)
                if (pair.first != "as2_id" && pair.first != "email" && pair.first != "x509_alias")
                    partner.others.push_back(pair);
            if (stamps)
                stamp(partner.others);
            put(partners, std::move(partner));
        } else if (takes(command, "Partnership Add ", rest)) {
            std::size_t at = 0;
            MemoryPartnership p;
            p.name = word(rest, at);
            p.sender = word(rest, at);
            p.receiver = word(rest, at);
            p.attributes = settings(rest, at);
            if (stamps)
                stamp(p.attributes);
            put(partnerships, std::move(p));
        } else if (takes(command, "Partner Delete ", rest)) {
            remove(partners, rest);
        } else if (takes(command, "Partnership Delete ", rest)) {
            remove(partnerships, rest);
        } else if (takes(command, "Cert import ", rest)) {
            std::size_t at = 0;
            aliases.push_back(word(rest, at));
        } else if (command == "Partnership List") {
            std::string line;
            for (const MemoryPartnership& p : partnerships)
                line += "<partnership>" + escape(p.name) + "</partnership>";
            return Reply(line.empty() ? std::string(" ") : line);
        } else if (command == "cert List") {
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
        std::string list = "name=" + p->name;
        for (const auto& [key, value] :
             {std::pair<const char*, const std::string&>{"as2_id", p->as2id},
              {"email", p->email},
              {"x509_alias", p->alias}})
            if (!value.empty() || !omitEmpty)
                list += std::string(", ") + key + "=" + value;
        for (const auto& [key, value] : p->others)
            list += ", " + key + "=" + value;
        return Reply(escape("Partner " + p->name + " {" + list + "}"));
    }

    Reply viewPartnership(const std::string& name) const {
        for (const MemoryPartnership& p : partnerships) {
            if (p.name != name)
                continue;
            auto ids = [this](const std::string& partner) {
                const MemoryPartner* known = find(partner);
                const auto stale = viewIDs.find(partner);
                const std::string id = stale != viewIDs.end() ? stale->second
                                       : known                ? known->as2id
                                                              : "";
                return "{name=" + partner + (id.empty() && omitEmpty ? "" : ", as2_id=" + id) + "}";
            };
            std::string attributes;
            for (const auto& a : p.attributes)
                if (!a.second.empty() || !omitEmpty)
                    attributes += (attributes.empty() ? "" : ", ") + a.first + "=" + a.second;
            std::vector<std::string> lists = {"Sender IDs = " + ids(p.sender),
                                              "Receiver IDs = " + ids(p.receiver),
                                              "Attributes = {" + attributes + "}"};
            if (listsReversed)
                std::reverse(lists.begin(), lists.end());
            return Reply(
                escape("Partnership " + p.name + " " + lists[0] + " " + lists[1] + " " + lists[2]));
        }
        return Reply("Partnership not found: " + escape(name));
    }

    mutable std::mutex lock;
    int carriedOut = 0;
    int stamped = 0;
    int stopAfter = -1;
};
