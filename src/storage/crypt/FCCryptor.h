#pragma once
// The queue-and-handler form of the encrypted data format's cryptors: `addData` and `finish` queue
// work on the cryptor's serial work queue, and every output chunk is handed to the handler on the
// serial response queue while the work queue waits. The last handler call comes with `isFinished`
// set and `error` holding the outcome; after it the handler is dropped and further input is
// ignored. The format itself lives in the synchronous cores (FCMessageWriter, FCMessageReader) that
// FCEncryptor and FCDecryptor wrap.
//
// Thread safety: feed one cryptor from one thread at a time; a handler must not wait for the same
// cryptor's work queue.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "quarra/Dispatch.h"
#include "storage/crypt/FCCryptorFormat.h"

namespace quarra {

class FCCryptor : public std::enable_shared_from_this<FCCryptor> {
  public:
    using Handler = std::function<void(FCCryptor& cryptor, const Bytes& data)>;

    FCCryptor(const FCCryptor&) = delete;
    FCCryptor& operator=(const FCCryptor&) = delete;
    virtual ~FCCryptor() = default;

    // Queues a chunk of input; ignored once the cryptor has finished.
    void addData(Bytes data);
    // Queues the end of input; the handler's last call follows. Ignored once finished.
    void finish();

    bool isFinished() const { return finished_.load(std::memory_order_acquire); }
    // The outcome; meaningful once `isFinished`.
    ErrorPtr error() const;
    // The message's options byte and HMAC length (0: none); REQUIRES: read from the handler or
    // after completion (a decryptor learns them from the header).
    virtual std::uint8_t options() const = 0;
    virtual std::uint64_t HMACLength() const = 0;
    bool hasHMAC() const { return HMACLength() != 0; }

    DispatchQueuePtr responseQueue() const;
    // REQUIRES: before the first `addData` or `finish`.
    void setResponseQueue(DispatchQueuePtr queue);
    // Replaces the handler. False when the cryptor has already finished: the handler would never
    // run. REQUIRES: before the first `addData` or `finish`.
    bool setHandler(Handler handler);

    static Result<Bytes> keyForPassword(std::string_view password, ByteView salt,
                                        const FCCryptorKeyDerivationSettings& settings) {
        return fcKeyForPassword(password, salt, settings);
    }
    static Result<Bytes> randomDataOfLength(std::size_t length) {
        return fcRandomDataOfLength(length);
    }

    // Runs `cryptor` over `data` and returns its whole output, or the error. Blocks the calling
    // thread until the cryptor completes (never the cryptor's own queues). A null or already
    // finished cryptor gives the parameter error.
    static Result<Bytes> synchronousResultForCryptor(const std::shared_ptr<FCCryptor>& cryptor,
                                                     const Bytes& data);

  protected:
    // `className` names the queues ("net.skelwyn.<className>", "net.skelwyn.response.<className>").
    FCCryptor(const std::string& className, Handler handler);

    // The core's work, on the work queue: append the output for `data` (or the final output) to
    // `out`.
    [[nodiscard]] virtual ErrorPtr process(ByteView data, Bytes& out) = 0;
    [[nodiscard]] virtual ErrorPtr complete(Bytes& out) = 0;

    // Records the outcome, marks the cryptor finished and makes the handler's last call with
    // `data`, synchronously on the response queue.
    void cleanupAndNotifyWithError(ErrorPtr error, const Bytes& data = {});

    // Runs a synchronous core over one whole buffer, with the output presized to `expectedSize`.
    template <class Core>
    static Result<Bytes> runWhole(Core& core, ByteView data, std::size_t expectedSize) {
        Bytes out;
        out.reserve(expectedSize);
        ErrorPtr failure = core.update(data, out);
        if (!failure) {
            failure = core.finish(out);
        }
        if (failure) {
            return failure;
        }
        return out;
    }

  private:
    void deliver(const Bytes& data);

    const DispatchQueuePtr queue_;
    mutable std::mutex mutex_;
    DispatchQueuePtr responseQueue_;
    Handler handler_;
    ErrorPtr error_;
    std::atomic<bool> finished_{false};
};

}  // namespace quarra
