#include "quarra/ui/MailComposer.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "quarra/Json.h"
#include "quarra/RunLoop.h"
#include "support/TestSupport.h"

namespace quarra::ui {
namespace {

std::string run(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return out;
    char buffer[4096];
    std::size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    pclose(pipe);
    return out;
}

std::string hex(const Bytes& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (auto b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// Bytes a text attachment may hold that a careless encoder breaks: NUL, CR LF, non-UTF-8, a
// line longer than any MIME line, and the boundary's own text.
Bytes awkwardBytes() {
    using namespace std::string_literals;
    std::string text = "line one\r\nline two\n\0\xff\xfe--quarra-boundary\r\n"s;
    text.append(300, 'x');
    return Bytes(text.begin(), text.end());
}

MailMessage logMessage() {
    MailMessage message;
    message.subject = "Quarra SDK log \u2013 Grüße";
    message.body = "The Quarra SDK's log data is attached.";
    message.attachments.push_back({awkwardBytes(), "text/plain", "QuarraSDK.log"});
    return message;
}

// Python's own e-mail parser reads the message back: subject, body and each attachment's name,
// type and bytes.
Json parseWithPython(const std::filesystem::path& file) {
    test::TempDir dir;
    test::writeFile(dir / "parse.py", R"(import email, email.policy, json, sys
m = email.message_from_binary_file(open(sys.argv[1], 'rb'), policy=email.policy.default)
parts = [{'name': p.get_filename(), 'type': p.get_content_type(),
          'hex': p.get_payload(decode=True).hex()} for p in m.iter_attachments()]
print(json.dumps({'subject': str(m['subject']), 'body': m.get_body().get_content().rstrip('\n'),
                  'parts': parts}))
)");
    return Json::parse(
        run("/usr/bin/python3 " + (dir / "parse.py").string() + " '" + file.string() + "'"),
        nullptr, false);
}

TEST(MailMessage, AnRfc5322ReaderGetsTheAttachmentBackByteForByte) {
    test::TempDir dir;
    test::writeFile(dir / "message.eml", formatRfc5322Message(logMessage(), "quarra-boundary-1"));
    Json parsed = parseWithPython(dir / "message.eml");
    ASSERT_TRUE(parsed.is_object()) << parsed.dump();
    EXPECT_EQ(parsed["subject"], "Quarra SDK log \u2013 Grüße");
    EXPECT_EQ(parsed["body"], "The Quarra SDK's log data is attached.");
    ASSERT_EQ(parsed["parts"].size(), 1u);
    EXPECT_EQ(parsed["parts"][0]["name"], "QuarraSDK.log");
    EXPECT_EQ(parsed["parts"][0]["type"], "text/plain");
    EXPECT_EQ(parsed["parts"][0]["hex"], hex(awkwardBytes()));
}

TEST(MailMessage, AnAttachmentNameCannotBreakOutOfItsHeader) {
    MailMessage message = logMessage();
    message.attachments[0].fileName = "../../evil\"\r\nX-Injected: 1.log";
    std::string text = formatRfc5322Message(message, "b");
    EXPECT_EQ(text.find("\r\nX-Injected"), std::string::npos);
    EXPECT_EQ(text.find("../"), std::string::npos);
}

TEST(DesktopMail, WritesThePrivateMessageAndHandsTheAttachmentToXdgEmail) {
    // A stand-in for xdg-email on PATH that writes down its arguments.
    test::TempDir bin;
    auto record = bin / "arguments.json";
    test::writeFile(bin / "xdg-email",
                    "#!/usr/bin/python3\nimport json, os, sys\n"
                    "open('" +
                        record.string() +
                        ".tmp', 'w').write(json.dumps(sys.argv[1:]))\n"
                        "os.rename('" +
                        record.string() + ".tmp', '" + record.string() + "')\n");
    chmod((bin / "xdg-email").c_str(), 0755);
    std::string path = bin.path().string() + ":" + getenv("PATH");
    setenv("PATH", path.c_str(), 1);

    DesktopMailService service;
    EXPECT_TRUE(service.canSendMail());
    ASSERT_EQ(service.send(logMessage()), nullptr);
    // The program runs on its own: wait (bounded) until it has written what it was given.
    ASSERT_TRUE(
        runMainUntil([&] { return std::filesystem::exists(record); }, std::chrono::seconds(60)));
    Json arguments = Json::parse(test::readFile(record));
    ASSERT_TRUE(arguments.is_array());
    std::vector<std::string> args = arguments.get<std::vector<std::string>>();
    auto at = std::find(args.begin(), args.end(), "--attach");
    ASSERT_NE(at, args.end());
    std::filesystem::path attachment = *(at + 1);
    EXPECT_EQ(attachment.filename(), "QuarraSDK.log");
    std::string written = test::readFile(attachment);
    EXPECT_EQ(Bytes(written.begin(), written.end()), awkwardBytes());
    EXPECT_NE(std::find(args.begin(), args.end(), "Quarra SDK log \u2013 Grüße"), args.end());

    // The log stays private: the folder and its files are the user's alone.
    auto folder = attachment.parent_path();
    EXPECT_EQ(std::filesystem::status(folder).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_all);
    for (const auto& file : {attachment, folder / "message.eml"}) {
        EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::all,
                  std::filesystem::perms::owner_read | std::filesystem::perms::owner_write)
            << file;
    }
    Json parsed = parseWithPython(folder / "message.eml");
    ASSERT_EQ(parsed["parts"].size(), 1u);
    EXPECT_EQ(parsed["parts"][0]["hex"], hex(awkwardBytes()));
    std::filesystem::remove_all(folder);
}

TEST(MailComposer, SendingHandsTheMessageToTheServiceAndTellsTheDelegate) {
    struct Delegate : MailComposeViewControllerDelegate {
        std::vector<MailComposeResult> results;
        void mailComposeControllerDidFinish(MailComposeViewController&, MailComposeResult result,
                                            const ErrorPtr&) override {
            results.push_back(result);
        }
    };
    auto service = std::make_shared<RecordingMailService>();
    MailService::setShared(service);
    auto delegate = std::make_shared<Delegate>();
    auto composer = MailComposeViewController::make();
    composer->setMailComposeDelegate(delegate);
    composer->setSubject("s");
    composer->addAttachmentData(awkwardBytes(), "text/plain", "a.log");
    composer->cancel();
    EXPECT_TRUE(service->sent().empty());
    composer->send();
    ASSERT_EQ(service->sent().size(), 1u);
    EXPECT_EQ(service->sent()[0].attachments[0].data, awkwardBytes());
    EXPECT_EQ(delegate->results, (std::vector<MailComposeResult>{MailComposeResult::Cancelled,
                                                                 MailComposeResult::Sent}));
    MailService::setShared(nullptr);
}

}  // namespace
}  // namespace quarra::ui
