#pragma once
// Internal to the URL loading system: the resume data of a cancelled download. It is bytes the host
// keeps and hands back, maybe much later, maybe altered: a versioned JSON document that is checked
// field by field, and whose partial file must still be the session layer's own, unchanged.
#include <filesystem>
#include <string>

#include "platform/FileDescriptor.h"
#include "quarra/Result.h"
#include "quarra/URLSessionTask.h"

namespace quarra {

struct URLSessionResumeData {
    UrlRequest request;  // GET, without the headers that may carry secrets
    std::filesystem::path file;
    std::int64_t offset = 0;
    std::string entityTag, lastModified;

    Bytes encode() const;
    // URLErrorCannotDecodeRawData for anything this layer did not write; the file is not looked at.
    static Result<URLSessionResumeData> decode(const Bytes& data);
};

// Where partial downloads live, and the name every one of them starts with.
std::filesystem::path partialDownloadPattern();

// Opens a partial download for writing on, refusing anything that is not one of ours as it was
// left: a symbolic link, a file elsewhere, of another owner, with other links, or of another size
// (URLErrorFileDoesNotExist). The file is made readable by its owner only.
Result<FileDescriptor> openPartialDownload(const std::filesystem::path& file,
                                           std::int64_t expectedSize, const Url& url);

}  // namespace quarra
