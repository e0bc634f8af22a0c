#include "storage/crypt/TVKCryptFiles.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "quarra/TVKErrors.h"
#include "quarra/Bundle.h"
#include "platform/Directories.h"
#include "storage/crypt/FCMessageCodec.h"

namespace quarra::cryptfiles {
namespace {

int posixCode(const ErrorPtr& error) {
    return error && error->domain() == PosixErrorDomain ? static_cast<int>(error->code()) : EIO;
}

std::string_view asText(ByteView bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

ErrorPtr fileError(std::string_view what, int code) {
    std::string text = Bundle::sdk().localizedString(std::string(what));
    return Error::make(TVKCryptographyErrorDomain, TVKCryptographyInvalidFileErrorCode,
                       text + ": " + strerror(code));
}

std::filesystem::path partialFileJournal() {
    std::filesystem::path folder = applicationSupportDirectory() / "com.tovik.crypt.partial";
    // A folder that cannot be made shows as the copies' own error, when they list their files.
    (void)files::createDirectories(folder, 0700);
    return folder;
}

void sweepPartialFiles() {
    files::sweepPartialFiles(partialFileJournal());
}

Result<FileDescriptor> openSource(const std::filesystem::path& path) {
    struct stat info;
    if (path.empty() || ::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return Error::make(TVKCryptographyErrorDomain, TVKCryptographyInvalidFileErrorCode,
                           Bundle::sdk().localizedString("Invalid file path"));
    }
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        return fileError(kReadFailed, errno);
    }
    return fd;
}

long readSome(int fd, std::uint8_t* buffer, std::size_t length) {
    for (;;) {
        ssize_t n = ::read(fd, buffer, length);
        if (n >= 0 || errno != EINTR) {
            return static_cast<long>(n);
        }
    }
}

ErrorPtr copy(FileDescriptor source, const std::filesystem::path& destination,
              std::string_view password, bool encrypt, bool durable, std::optional<mode_t> mode) {
    auto codec = FCMessageCodec::make(encrypt, password);
    if (!codec) {
        return codec.error();
    }
    // The journal is read by a later process from any working directory: it must name the
    // partial file by an absolute path.
    std::error_code noPath;
    const auto target = std::filesystem::absolute(destination, noPath);
    if (noPath) {
        return fileError(kSaveFailed, noPath.value());
    }
    AtomicFile output(target, partialFileJournal());
    if (output.error()) {
        return fileError(kSaveFailed, posixCode(output.error()));
    }
    Bytes chunk(kChunkSize);
    Bytes out;
    out.reserve(kChunkSize + 128);
    for (;;) {
        long count = readSome(source.get(), chunk.data(), chunk.size());
        if (count < 0) {
            return fileError(kReadFailed, errno);
        }
        out.clear();
        ErrorPtr error =
            count > 0 ? codec->update(ByteView(chunk).first(static_cast<std::size_t>(count)), out)
                      : codec->finish(out);
        if (error) {
            return error;
        }
        if (ErrorPtr failure = output.write(asText(out))) {
            return fileError(kSaveFailed, posixCode(failure));
        }
        if (count == 0) {
            break;
        }
    }
    if (ErrorPtr failure = output.commit(mode, durable)) {
        return fileError(kSaveFailed, posixCode(failure));
    }
    return nullptr;
}

}  // namespace quarra::cryptfiles
