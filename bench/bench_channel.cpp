// The cost of the command channel against a minimal client of the same loopback responder: one
// ExecuteCommand round trip, and loading a partner whose service lists N partnerships.

#include "channel/cmds.h"
#include "model/partnerlink.h"
#include "platform/exceptions.h"
#include "rawclient.h"
#include "support/fakeservice.h"

#include <QByteArray>
#include <QDomDocument>
#include <benchmark/benchmark.h>

#include <optional>
#include <string>
#include <unordered_map>

namespace {

const std::string kReply = "<alias>AS2Local:3</alias>";

void BM_RawRoundTrip(benchmark::State& state) {
    FakeService service([](const std::string&) { return Reply(kReply); },
                        FakeService::Recording::Off);
    const int port = std::stoi(service.port());
    const std::string request = std::string(CommandPrefix) + "cert List" + CommandSuffix + "\r\n";
    if (RawRoundTrip(port, request) != kReply) {
        state.SkipWithError("unexpected reply");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(RawRoundTrip(port, request));
}
BENCHMARK(BM_RawRoundTrip)->UseRealTime();

// host: a dotted address needs no lookup; "localhost" is looked up once a minute, as the program
// does it (the client keeps a name's address that long).
void BM_ExecuteCommand(benchmark::State& state, const char* host) {
    FakeService service([](const std::string&) { return Reply(kReply); },
                        FakeService::Recording::Off);
    TCommandHandler handler(nullptr, host, service.port());
    try {
        if (TCommandHandler::NodeText(handler.ExecuteCommand("cert List").firstChild()) !=
            "AS2Local:3") {
            state.SkipWithError("unexpected reply");
            return;
        }
        for (auto _ : state)
            benchmark::DoNotOptimize(handler.ExecuteCommand("cert List"));
    } catch (const Exception& error) {
        state.SkipWithError(error.Message.c_str());
    }
}
BENCHMARK_CAPTURE(BM_ExecuteCommand, address, "127.0.0.1")->UseRealTime();
BENCHMARK_CAPTURE(BM_ExecuteCommand, localhost, "localhost")->UseRealTime();

// A service with N partnerships, every other one of them the local partner's, answered in the
// service's reply shapes.
std::unordered_map<std::string, std::string> ServiceReplies(int partnerships) {
    std::unordered_map<std::string, std::string> replies;
    replies["Partner View AS2Local"] = "Partner AS2Local {name=AS2Local, as2_id=LOCALID, "
                                       "email=as2@example.com, x509_alias=AS2Local:3}";
    std::string list;
    for (int i = 0; i < partnerships; ++i) {
        const std::string name = "partnership-" + std::to_string(i);
        const std::string other = "Partner" + std::to_string(i);
        const std::string sender = i % 2 == 0 ? "AS2Local" : other;
        list += "<partnership>" + name + "</partnership>";
        replies["Partnership View " + name] =
            "Partnership " + name + " Sender IDs = {name=" + sender + ", as2_id=ID-" + sender +
            "} Receiver IDs = {name=" + other + ", as2_id=ID-" + other +
            "} Attributes = {as2_url=http://127.0.0.1:10080, as2_mdn_to=edi@example.com, "
            "as2_mdn_options=signed-receipt-protocol=optional, pkcs7-signature; "
            "signed-receipt-micalg=optional, sha256, subject=From AS2Local to " +
            other + ", encrypt=3des, sign=sha256}";
    }
    // An empty line is no reply; a service with no partnerships answers with a blank.
    replies["Partnership List"] = list.empty() ? " " : list;
    return replies;
}

// The whole parse of a reply (its checks and the document) against Qt's parse alone of the same
// bytes, as the channel wraps them: a partner's settings, and a list of 2,000 partnerships.
std::string SampleReply(const std::string& which) {
    return which == "partner" ? ServiceReplies(0)["Partner View AS2Local"]
                              : ServiceReplies(2000)["Partnership List"];
}

void BM_ParseReply(benchmark::State& state, const char* which) {
    const std::string reply = SampleReply(which);
    QDomDocument doc;
    for (auto _ : state)
        benchmark::DoNotOptimize(TCommandHandler::ParseReply(reply, doc));
}
BENCHMARK_CAPTURE(BM_ParseReply, partner, "partner")->UseRealTime();
BENCHMARK_CAPTURE(BM_ParseReply, list2000, "list2000")->UseRealTime();

// The texts of a list's children, as GetPartnershipNames reads them, without a document.
void BM_ReadReplyTexts(benchmark::State& state) {
    const std::string reply = SampleReply("list2000");
    for (auto _ : state)
        benchmark::DoNotOptimize(TCommandHandler::ReadReplyTexts(reply));
}
BENCHMARK(BM_ReadReplyTexts)->UseRealTime();

void BM_SetContentAlone(benchmark::State& state, const char* which) {
    const QByteArray source =
        "<AS2Result>\r\n" + QByteArray::fromStdString(SampleReply(which)) + "\r\n</AS2Result>\r\n";
    QDomDocument doc;
    for (auto _ : state) {
        benchmark::DoNotOptimize(doc.setContent(source));
        benchmark::DoNotOptimize(doc.documentElement());
    }
}
BENCHMARK_CAPTURE(BM_SetContentAlone, partner, "partner")->UseRealTime();
BENCHMARK_CAPTURE(BM_SetContentAlone, list2000, "list2000")->UseRealTime();

void BM_LoadPartner(benchmark::State& state) {
    const int partnerships = static_cast<int>(state.range(0));
    const auto replies = ServiceReplies(partnerships);
    FakeService service(
        [&replies](const std::string& command) {
            const auto found = replies.find(command);
            return Reply(found == replies.end() ? std::string("<error/>") : found->second);
        },
        FakeService::Recording::Off);
    TCommandHandler handler(nullptr, FakeService::host, service.port());
    try {
        const TPartner partner = TPartner::LoadPartner(handler, "AS2Local");
        if (partner.AS2ID != "LOCALID" ||
            partner.Partnerships.Items.size() != static_cast<std::size_t>(partnerships + 1) / 2) {
            state.SkipWithError("unexpected partner");
        } else {
            for (auto _ : state)
                benchmark::DoNotOptimize(TPartner::LoadPartner(handler, "AS2Local"));
        }
    } catch (const Exception& error) {
        state.SkipWithError(error.Message.c_str());
    }
    // One "Partner View", one "Partnership List", one "Partnership View" per partnership.
    state.counters["commands"] = partnerships + 2;
}
BENCHMARK(BM_LoadPartner)
    ->Arg(0)
    ->Arg(100)
    ->Arg(1000)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// A service of 100 partnerships, two of them between the dialog's partners and three more of the
// local partner's with others; every save command is taken and left unanswered, every query
// answered from what the saves keep sending, so the read-back finds the service holding it all.
std::unordered_map<std::string, std::string> LinkReplies() {
    std::unordered_map<std::string, std::string> replies;
    replies["Partner View AS2Local"] = "Partner AS2Local {name=AS2Local, as2_id=LOCALID, "
                                       "email=as2@local.example, x509_alias=AS2Local:3}";
    replies["Partner View AS2Remote"] = "Partner AS2Remote {name=AS2Remote, as2_id=REMOTEID, "
                                        "email=as2@remote.example, x509_alias=AS2Remote:1}";
    std::string list;
    for (int i = 0; i < 100; ++i) {
        std::string name = "Other" + std::to_string(i) + "-Else" + std::to_string(i);
        std::string sender = "Other" + std::to_string(i);
        std::string receiver = "Else" + std::to_string(i);
        std::string url = "http://partner" + std::to_string(i) + ".example:4080";
        if (i == 0 || i == 1) {
            name = i == 0 ? "AS2Local-AS2Remote" : "AS2Remote-AS2Local";
            sender = i == 0 ? "AS2Local" : "AS2Remote";
            receiver = i == 0 ? "AS2Remote" : "AS2Local";
            url = i == 0 ? "http://remote.example:4080" : "http://local.example:4080";
        } else if (i < 5) {
            name = "AS2Local-" + receiver;
            sender = "AS2Local";
        }
        list += "<partnership>" + name + "</partnership>";
        replies["Partnership View " + name] =
            "Partnership " + name + " Sender IDs = {name=" + sender +
            ", as2_id=S} Receiver IDs = {" + "name=" + receiver +
            ", as2_id=R} Attributes = {protocol=as2, subject=From " + sender + " to " + receiver +
            ", as2_url=" + url + (i == 0 ? ", as2_mdn_to=http://local.example:10081" : "") +
            ", encrypt=3des, sign=sha256}";
    }
    replies["Partnership List"] = list;
    return replies;
}

// The save of both partners alone (each "Partnership Store" answer read), and OK's whole work on
// them: the checks, the reads before the save, the save and the read-back. The AS2 IDs do not
// change, so the configuration file is not touched.
enum class TSave { Alone, Verified, VerifiedSilentStore };
void BM_SaveLink(benchmark::State& state, TSave save) {
    const bool verified = save != TSave::Alone;
    const auto replies = LinkReplies();
    FakeService service(
        [&replies, save](const std::string& command) {
            if (save == TSave::VerifiedSilentStore && command == "Partnership Store")
                return Reply::Silence();
            const auto found = replies.find(command);
            return Reply(found == replies.end() ? std::string("<ok/>") : found->second);
        },
        FakeService::Recording::Off);
    TCommandHandler handler(nullptr, FakeService::host, service.port());
    const TLinkFace face{[](const TSetting& s) { return std::string(s.Key); }, "", "", "", ""};
    TPartnerLink link(handler, "", face);
    try {
        link.Load("AS2Remote");
        TLinkSettings settings;
        link.Read(settings);
        const TPartner& local = *link.Local();
        const TPartner& remote = *link.Remote();
        if (local.Partnerships.Items.size() != 5 || remote.Partnerships.Items.size() != 2) {
            state.SkipWithError("unexpected partners");
            return;
        }
        for (auto _ : state) {
            if (verified) {
                link.Apply(settings, TSaveChoice::Both);
            } else {
                local.SavePartner(handler);
                remote.SavePartner(handler);
                handler.StoreAnswers();
            }
        }
    } catch (const Exception& error) {
        state.SkipWithError(error.Message.c_str());
    }
}
BENCHMARK_CAPTURE(BM_SaveLink, save, TSave::Alone)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SaveLink, verified, TSave::Verified)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SaveLink, silentStore, TSave::VerifiedSilentStore)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

// Pieces of one ExecuteCommand, to see where its time goes (not compared with anything): one
// lookup of a name, which the client does once a minute, and the reply's parse.
void BM_PieceLookupLocalhost(benchmark::State& state) {
    std::uint32_t address = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(TTcpClient::LookupHost("localhost", address));
}
BENCHMARK(BM_PieceLookupLocalhost)->UseRealTime();

void BM_PieceParseReply(benchmark::State& state) {
    QDomDocument doc;
    for (auto _ : state)
        benchmark::DoNotOptimize(TCommandHandler::ParseReply(kReply, doc));
}
BENCHMARK(BM_PieceParseReply)->UseRealTime();
