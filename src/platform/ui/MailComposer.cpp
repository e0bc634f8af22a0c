#include "quarra/ui/MailComposer.h"

#include <stdlib.h>

#include <filesystem>

#include "platform/Base64.h"
#include "quarra/Browser.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/Uuid.h"

namespace quarra::ui {
namespace {

constexpr const char* MailErrorDomain = "MailErrorDomain";

// Never destroyed: a message may still be handed over while the process exits.
std::mutex gMailMutex;
std::shared_ptr<MailService>& gMailService = *new std::shared_ptr<MailService>();

// RFC 2047 for a header text that is not plain ASCII.
std::string headerText(const std::string& text) {
    for (unsigned char c : text) {
        if (c >= 0x80 || c < 0x20)
            return "=?UTF-8?B?" + base64Encode(Bytes(text.begin(), text.end())) + "?=";
    }
    return text;
}

// Base64 in lines of 76 characters, as MIME wants them.
std::string wrappedBase64(const Bytes& data) {
    std::string encoded = base64Encode(data);
    std::string out;
    for (std::size_t i = 0; i < encoded.size(); i += 76)
        out += encoded.substr(i, 76) + "\r\n";
    return out;
}

// Only the last path component, without quotes or line breaks, names a file.
std::string safeFileName(const std::string& name) {
    std::string base = std::filesystem::path(name).filename().string();
    std::string out;
    for (char c : base) {
        if (c != '"' && c != '\\' && c != '\r' && c != '\n')
            out += c;
    }
    return out.empty() || out == "." || out == ".." ? std::string("attachment") : out;
}

}  // namespace

std::string formatRfc5322Message(const MailMessage& message, const std::string& boundary) {
    std::string to;
    for (const auto& recipient : message.toRecipients)
        to += (to.empty() ? "" : ", ") + recipient;
    std::string out;
    if (!to.empty())
        out += "To: " + to + "\r\n";
    out += "Subject: " + headerText(message.subject) + "\r\n";
    out += "MIME-Version: 1.0\r\n";
    out += "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n\r\n";
    out += "--" + boundary + "\r\n";
    out += std::string("Content-Type: ") + (message.bodyIsHTML ? "text/html" : "text/plain") +
           "; charset=UTF-8\r\n";
    out += "Content-Transfer-Encoding: base64\r\n\r\n";
    out += wrappedBase64(Bytes(message.body.begin(), message.body.end()));
    for (const auto& attachment : message.attachments) {
        std::string name = safeFileName(attachment.fileName);
        out += "--" + boundary + "\r\n";
        out += "Content-Type: " + attachment.mimeType + "; name=\"" + name + "\"\r\n";
        out += "Content-Disposition: attachment; filename=\"" + name + "\"\r\n";
        out += "Content-Transfer-Encoding: base64\r\n\r\n";
        out += wrappedBase64(attachment.data);
    }
    out += "--" + boundary + "--\r\n";
    return out;
}

std::shared_ptr<MailService> MailService::shared() {
    std::lock_guard lock(gMailMutex);
    if (!gMailService)
        gMailService = std::make_shared<DesktopMailService>();
    return gMailService;
}

void MailService::setShared(std::shared_ptr<MailService> service) {
    std::lock_guard lock(gMailMutex);
    gMailService = std::move(service);
}

bool DesktopMailService::canSendMail() {
    return Browser::programExists("xdg-email");
}

ErrorPtr DesktopMailService::send(const MailMessage& message) {
    std::error_code ec;
    std::string pattern =
        (std::filesystem::temp_directory_path(ec) / "quarra-mail-XXXXXX").string();
    // A folder of our own (mode 0700): what the message carries is nobody else's to read.
    if (!mkdtemp(pattern.data()))
        return posixError(errno, "Could not make a folder for the message");
    std::filesystem::path folder = pattern;
    std::string boundary = "quarra-" + uuidString().value_or("boundary-0000");
    if (ErrorPtr error =
            files::writeAtomically(folder / "message.eml", formatRfc5322Message(message, boundary)))
        return error;
    std::vector<std::string> command = {"xdg-email",     "--utf8", "--subject",
                                        message.subject, "--body", message.body};
    for (const auto& attachment : message.attachments) {
        auto path = folder / safeFileName(attachment.fileName);
        std::string_view data(reinterpret_cast<const char*>(attachment.data.data()),
                              attachment.data.size());
        if (ErrorPtr error = files::writeAtomically(path, data))
            return error;
        command.push_back("--attach");
        command.push_back(path.string());
    }
    for (const auto& recipient : message.toRecipients)
        command.push_back(recipient);
    if (!spawnDetached(std::move(command)))
        return Error::make(MailErrorDomain, 1, "The mail program could not be started");
    return nullptr;
}

bool RecordingMailService::canSendMail() {
    std::lock_guard lock(mutex_);
    return canSend_;
}

ErrorPtr RecordingMailService::send(const MailMessage& message) {
    std::lock_guard lock(mutex_);
    sent_.push_back(message);
    return nullptr;
}

void RecordingMailService::setCanSendMail(bool can) {
    std::lock_guard lock(mutex_);
    canSend_ = can;
}

std::vector<MailMessage> RecordingMailService::sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
}

bool MailComposeViewController::canSendMail() {
    return MailService::shared()->canSendMail();
}

void MailComposeViewController::send() {
    ErrorPtr error = MailService::shared()->send(message_);
    finish(error ? MailComposeResult::Failed : MailComposeResult::Sent, error);
}

void MailComposeViewController::cancel() {
    finish(MailComposeResult::Cancelled, nullptr);
}

void MailComposeViewController::finish(MailComposeResult result, const ErrorPtr& error) {
    auto keep = shared_from_this();
    if (auto delegate = mailComposeDelegate())
        delegate->mailComposeControllerDidFinish(*this, result, error);
}

}  // namespace quarra::ui
