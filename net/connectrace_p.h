// Internal to the connection layer: the attempts of one outgoing connection
// to every address of its host.
//
// The addresses are tried one after the other, IPv6 and IPv4 alternating,
// IPv6 first. An attempt that has not ended after kAttemptDelay does not hold
// up the next one: both then run, and the first to connect wins, the others
// being closed. An attempt that fails starts the next one at once. The race
// fails only when every address has failed, with the error of the last.
#pragma once

#include "net/platformsocket.h"

#include <chrono>
#include <deque>
#include <functional>
#include <vector>

class QObject;
class QSocketNotifier;
class QTimer;

namespace ScktComp {

class ConnectRace {
public:
    // How the last failed attempt failed.
    enum class Stage {
        Create,  // no socket could be made for it
        Call,    // the connect call itself failed
        Outcome, // the attempt started and ended without a connection
    };
    struct Failure {
        Stage stage = Stage::Call;
        int code = 0;
    };
    // A connected socket, whose handle now belongs to the receiver.
    using Connected = std::function<void(Platform::Handle handle, const Platform::SocketAddress& address)>;
    // Every attempt has failed; `failure` is the last one.
    using Failed = std::function<void(const Failure& failure)>;

    // "Connection Attempt Delay" of RFC 8305, section 5, which recommends
    // 250 ms: long enough for an IPv6 handshake on nearly every path, short
    // enough that a dead IPv6 route costs the user no noticeable wait.
    static constexpr std::chrono::milliseconds kAttemptDelay{250};

    // The attempts' notifiers and the delay's timer are children of `owner`.
    ConnectRace(QObject& owner, Connected connected, Failed failed);
    ~ConnectRace();
    ConnectRace(const ConnectRace&) = delete;
    ConnectRace& operator=(const ConnectRace&) = delete;

    // Abandons any earlier race and tries `addresses`, in the order given.
    // True while an attempt is under way; its end comes through the
    // callbacks. False when every address failed inside the call, which
    // reports nothing: `failure` then holds the last failure.
    bool start(std::vector<Platform::SocketAddress> addresses, Failure& failure);
    // Closes every attempt without a word.
    void abandon();
    bool running() const { return !running_.empty(); }

    // `addresses` in the order of trying: IPv6 and IPv4 alternating, IPv6
    // first, each family in the order it came in.
    static std::vector<Platform::SocketAddress> interleaved(const std::vector<Platform::SocketAddress>& addresses);

private:
    struct Attempt {
        Platform::Handle handle;
        Platform::SocketAddress address;
        QSocketNotifier* notifier;
    };

    // Starts untried addresses until one attempt is under way or none is left.
    void launch();
    // The end of the attempt on `handle`, with its error code.
    void attemptEnded(Platform::Handle handle, int code);
    void closeAttempt(Attempt& attempt);

    QObject& owner_;
    Connected connected_;
    Failed failed_;
    QTimer* delay_;
    std::deque<Platform::SocketAddress> untried_;
    std::vector<Attempt> running_;
    Failure last_;
};

} // namespace ScktComp
