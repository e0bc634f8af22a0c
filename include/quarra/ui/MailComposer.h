#pragma once
// Writing an e-mail: a composer screen that the program fills (subject, body, attachments) and the
// person sends or cancels, and the mail service behind it. The process-wide service is
// replaceable: the desktop one hands the message to the desktop's mail program through
// "xdg-email"; tests install a RecordingMailService. Main thread only, except the services, which
// are safe from any thread.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "quarra/Bytes.h"
#include "quarra/Error.h"
#include "quarra/ui/ViewController.h"

namespace quarra::ui {

struct MailAttachment {
    Bytes data;
    std::string mimeType;
    std::string fileName;
};

struct MailMessage {
    std::vector<std::string> toRecipients;
    std::string subject;
    std::string body;
    bool bodyIsHTML = false;
    std::vector<MailAttachment> attachments;
};

// The message as RFC 5322 text: a MIME multipart/mixed message whose first part is the body and
// whose other parts are the attachments, base64-encoded under their file names. `boundary` must
// not occur in the body.
std::string formatRfc5322Message(const MailMessage& message, const std::string& boundary);

// Numbered as the platform numbers them.
enum class MailComposeResult : long { Cancelled = 0, Saved = 1, Sent = 2, Failed = 3 };

class MailService {
  public:
    virtual ~MailService() = default;
    // Whether a message can be handed over at all (a mail program or account exists).
    virtual bool canSendMail() = 0;
    // Hands the message over; null on success.
    [[nodiscard]] virtual ErrorPtr send(const MailMessage& message) = 0;

    // The installed service; by default the desktop's ("xdg-email").
    static std::shared_ptr<MailService> shared();
    // Null restores the default.
    static void setShared(std::shared_ptr<MailService> service);
};

// Writes each message as an RFC 5322 file (mode 0600) into a private folder of its own and opens
// the desktop's mail program on it with "xdg-email": subject and body filled in, the attachments
// written beside the message and attached. Can send when "xdg-email" is on PATH.
class DesktopMailService : public MailService {
  public:
    bool canSendMail() override;
    ErrorPtr send(const MailMessage& message) override;
};

// Keeps what it was given; can send unless told otherwise.
class RecordingMailService : public MailService {
  public:
    bool canSendMail() override;
    ErrorPtr send(const MailMessage& message) override;

    void setCanSendMail(bool can);
    std::vector<MailMessage> sent() const;

  private:
    mutable std::mutex mutex_;
    bool canSend_ = true;
    std::vector<MailMessage> sent_;
};

class MailComposeViewController;

class MailComposeViewControllerDelegate {
  public:
    virtual ~MailComposeViewControllerDelegate() = default;
    // The person sent or cancelled; the composer is still on screen.
    virtual void mailComposeControllerDidFinish(MailComposeViewController& controller,
                                                MailComposeResult result,
                                                const ErrorPtr& error) = 0;
};

class MailComposeViewController : public ViewController {
  public:
    static std::shared_ptr<MailComposeViewController> make() {
        return std::make_shared<MailComposeViewController>();
    }
    // Whether the shared service can send.
    static bool canSendMail();

    void setToRecipients(std::vector<std::string> recipients) {
        message_.toRecipients = std::move(recipients);
    }
    void setSubject(std::string subject) { message_.subject = std::move(subject); }
    void setMessageBody(std::string body, bool isHTML) {
        message_.body = std::move(body);
        message_.bodyIsHTML = isHTML;
    }
    void addAttachmentData(Bytes data, std::string mimeType, std::string fileName) {
        message_.attachments.push_back({std::move(data), std::move(mimeType), std::move(fileName)});
    }
    const MailMessage& message() const { return message_; }

    std::shared_ptr<MailComposeViewControllerDelegate> mailComposeDelegate() const {
        return delegate_.lock();
    }
    void setMailComposeDelegate(std::weak_ptr<MailComposeViewControllerDelegate> delegate) {
        delegate_ = std::move(delegate);
    }

    // --- What the person does
    // Hands the message to the shared service; the delegate hears Sent, or Failed with the error.
    void send();
    void cancel();

  private:
    void finish(MailComposeResult result, const ErrorPtr& error);

    MailMessage message_;
    std::weak_ptr<MailComposeViewControllerDelegate> delegate_;
};

}  // namespace quarra::ui
