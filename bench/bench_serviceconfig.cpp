// Updating the service's configuration file against a plain read and write of the same bytes.

#include "model/serviceconfig.h"

#include <benchmark/benchmark.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A configuration file of about that size, CR LF throughout, with the IDs behind their keys now
// and then, as the service's file has them.
std::string ConfigText(std::size_t size) {
    const std::string head = "<openas2>\r\n";
    const std::string block =
        "  <certificates classname=\"org.corvane.cert.PKCS12CertificateFactory\" "
        "filename=\"%home%/certs.p12\" password=\"secret\" interval=\"300\"/>\r\n"
        "  <partnerships classname=\"org.corvane.partner.XMLPartnershipFactory\" "
        "filename=\"%home%/partnerships.xml\"/>\r\n"
        "  <processor classname=\"org.corvane.processor.DefaultProcessor\" "
        "pendingMDN=\"%home%/pendingMDN\" pendingMDNinfo=\"%home%/pendinginfoMDN\">\r\n"
        "    <module classname=\"org.corvane.processor.sender.AS2SenderModule\"/>\r\n"
        "    <module classname=\"org.corvane.processor.receiver.AS2DirectoryPollingModule\"\r\n"
        "      outboxdir=\"%home%/toREMOTEID/\"\r\n"
        "      errordir=\"%home%/toREMOTEID/error\"\r\n"
        "      interval=\"5\"\r\n"
        "      defaults=\"sender.as2_id=LOCALID, receiver.as2_id=REMOTEID\"\r\n"
        "      mimetype=\"application/EDI-X12\"/>\r\n"
        "    <module classname=\"org.corvane.processor.storage.MDNFileModule\" "
        "filename=\"%home%/mdn/$date.yyyy$/$mdn.msg.sender.as2_id$-$mdn.msg.receiver.as2_id$\" "
        "protocol=\"as2\"/>\r\n"
        "  </processor>\r\n";
    const std::string tail = "</openas2>\r\n";
    std::string text = head;
    text.reserve(size + block.size());
    while (text.size() + block.size() + tail.size() <= size)
        text += block;
    return text + tail;
}

const TConfigIDs kUnchangedIDs{"LOCALID", "REMOTEID", "LOCALID", "REMOTEID"};

class TScratchFile {
public:
    explicit TScratchFile(const std::string& text) {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vantrel-bench.XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("no scratch folder");
        Folder = pattern;
        Path = Folder + "/config.xml";
        Write(Path, text, false);
    }
    ~TScratchFile() {
        ::unlink(Path.c_str());
        ::rmdir(Folder.c_str());
    }
    TScratchFile(const TScratchFile&) = delete;
    TScratchFile& operator=(const TScratchFile&) = delete;

    static std::string Read(const std::string& path) {
        const int file = ::open(path.c_str(), O_RDONLY);
        struct stat info {};
        if (file < 0 || ::fstat(file, &info) != 0)
            throw std::runtime_error("cannot read " + path);
        std::string bytes(static_cast<std::size_t>(info.st_size), '\0');
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t count = ::read(file, bytes.data() + done, bytes.size() - done);
            if (count < 0 && errno == EINTR)
                continue;
            if (count <= 0)
                throw std::runtime_error("short read of " + path);
            done += static_cast<std::size_t>(count);
        }
        ::close(file);
        return bytes;
    }

    static void Write(const std::string& path, const std::string& bytes, bool sync) {
        const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (file < 0)
            throw std::runtime_error("cannot write " + path);
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t count = ::write(file, bytes.data() + done, bytes.size() - done);
            if (count < 0 && errno == EINTR)
                continue;
            if (count <= 0)
                throw std::runtime_error("short write of " + path);
            done += static_cast<std::size_t>(count);
        }
        if (sync)
            ::fsync(file);
        ::close(file);
    }

    std::string Folder;
    std::string Path;
};

std::size_t Size(const benchmark::State& state) {
    return static_cast<std::size_t>(state.range(0)) << 20;
}

void BM_UpdateServiceConfigFile(benchmark::State& state) {
    const std::string text = ConfigText(Size(state));
    TScratchFile file(text);
    for (auto _ : state)
        UpdateServiceConfigFile(file.Path, kUnchangedIDs);
    // The IDs are unchanged, so the file is too; anything else means the update went wrong.
    if (TScratchFile::Read(file.Path) != text)
        state.SkipWithError("the file changed");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_PlainReadWrite(benchmark::State& state) {
    TScratchFile file(ConfigText(Size(state)));
    std::size_t size = 0;
    for (auto _ : state) {
        const std::string bytes = TScratchFile::Read(file.Path);
        TScratchFile::Write(file.Path, bytes, false);
        size = bytes.size();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

// Not a baseline: the same with the data flushed to the disk, as a durable replacement needs.
void BM_PlainReadWriteSync(benchmark::State& state) {
    TScratchFile file(ConfigText(Size(state)));
    std::size_t size = 0;
    for (auto _ : state) {
        const std::string bytes = TScratchFile::Read(file.Path);
        TScratchFile::Write(file.Path, bytes, true);
        size = bytes.size();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

// Sizes in MiB.
BENCHMARK(BM_UpdateServiceConfigFile)
    ->Arg(1)
    ->Arg(64)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainReadWrite)->Arg(1)->Arg(64)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainReadWriteSync)->Arg(1)->Arg(64)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace
