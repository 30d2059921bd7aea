#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <QObject>
#include <QTimer>

#include "commands/command_packet.h"
#include "commands/reply_decoder.h"
#include "common/log_sink.h"

namespace tavrel {

class THidDevice;
class THidDeviceController;
class GadgetExchange;

// One gadget interface across device-list rebuilds: each rebuild lends a fresh device object for
// the same interface, which keeps its path and device id while it stays connected.
struct GadgetId {
    std::string path;
    std::uint32_t deviceId = 0;
    bool operator==(const GadgetId&) const = default;
};

GadgetId IdOf(const THidDevice& device);

// One entry of the device list: its text and the gadget lent for it.
struct GadgetEntry {
    std::string text;  // "VID=4132 PID=0001"
    THidDevice* device = nullptr;
    GadgetId id;
};

// What taking one interface into the list gave: an entry (for a gadget) and the lines to log.
struct GadgetListing {
    std::optional<std::string> entryText;
    std::vector<std::string> logLines;  // GBK
};

// The device link as the window and the command line use it: the gadgets listed and lent from
// the controller, the selected one, sending packets to it, its replies, and the exchanges of
// several packets, each bound to its own gadget. Everything runs on the event thread.
class GadgetLink : public QObject, public PacketSink {
    Q_OBJECT

public:
    // How long an exchange waits for its gadget's answer: 1000 sleeps of 10 ms.
    static constexpr int kDefaultReplyWaitMs = 1000 * 10;

    GadgetLink(THidDeviceController& controller, LogSink& log);
    // Destroys the lent device objects; destroy the controller first, so they are not replaced.
    ~GadgetLink() override;
    GadgetLink(const GadgetLink&) = delete;
    GadgetLink& operator=(const GadgetLink&) = delete;

    // Gives every lent device back to the controller and empties the list.
    void GiveBackAll();
    // Gives every device back and has the controller enumerate again, which calls Take for each
    // plugged-in device (through the enumeration handler its holder set). Exchanges whose gadget is
    // no longer listed end. Gives the number of entries.
    int Rebuild();
    // The controller's enumeration callback: lends the interface and lists it when it is a gadget.
    GadgetListing Take(THidDevice& device, int index);

    const std::vector<GadgetEntry>& Entries() const { return m_entries; }
    // Selects an entry by index; any other index selects none.
    void Select(int index);
    int SelectedIndex() const { return m_selected; }
    // The device of the selected entry; none when nothing is selected.
    THidDevice* SelectedDevice() const;
    std::optional<GadgetId> SelectedGadget() const;
    // "VID=4132 PID=0001, OutputReportByteLength:65," for the selected entry; none without one.
    std::optional<std::string> SelectedDescription() const;
    // The current device object of a listed gadget; none when it is not listed (any more).
    THidDevice* Find(const GadgetId& id) const;

    // Sends to the selected gadget; with none selected logs "请选择设备" and sends nothing.
    void SendPacket(const CommandPacket& packet) override;
    // The same, with "请选择设备" logged to `log` instead of the link's log.
    void SendPacket(const CommandPacket& packet, LogSink& log) override;
    // What sending one packet gave.
    struct SendResult {
        enum class Status {
            Sent,         // written, or nothing selected ("请选择设备" was logged)
            NotListed,    // the gadget is not listed any more: nothing was written
            WriteFailed,  // the system refused the write
        };
        Status status = Status::Sent;
        bool deviceGone = false;  // WriteFailed: because the device has been unplugged
        std::string error;        // WriteFailed: the system's words, UTF-8
    };
    // Sends to a given gadget (none: the "请选择设备" case, logged to `log`, else the link's log).
    SendResult SendPacketTo(const std::optional<GadgetId>& target, const CommandPacket& packet,
                            LogSink* log = nullptr);

    // The first packet for the gadget selected now, sent `delayMs` from now (a gadget wants a pause
    // after it is opened, before it is asked for its identifier). Until it has gone, every other
    // packet for that gadget waits behind it, in order; it goes to that gadget, whatever is
    // selected meanwhile, or to none if the gadget has left. Asked again before it has gone, the
    // packet asked before is dropped (the packets waiting for the same gadget keep waiting; those
    // for another go at once). With nothing selected it does nothing.
    void SendFirstAfter(const CommandPacket& packet, int delayMs);
    // Whether a first packet is still to go.
    bool FirstPacketPending() const { return m_first.has_value(); }

    // An input report of a lent device (the bytes after its report id): the decoded effects for
    // the window to apply; the exchanges waiting on that gadget learn of it once the caller has
    // applied them.
    ReplyEffects HandleReport(THidDevice& device, std::span<const std::uint8_t> bytes);

    // Starts an exchange of several packets and keeps it until it ends (it may end at once). While
    // one is in progress another is refused: "设备忙，上一操作尚未完成" is logged and none is given back.
    GadgetExchange* Start(std::unique_ptr<GadgetExchange> exchange);
    // Starts an exchange beside those running with other gadgets (the command line works on many
    // at once): refused, as above, only while one with the same gadget is in progress.
    GadgetExchange* StartAlongside(std::unique_ptr<GadgetExchange> exchange);
    bool Busy() const;
    bool BusyWith(const GadgetId& gadget) const;
    // When an exchange is in progress: logs "设备忙，上一操作尚未完成" and gives true.
    bool RefuseWhileBusy();
    int ReplyWaitMs() const { return m_replyWaitMs; }
    void SetReplyWaitMs(int ms) { m_replyWaitMs = ms; }

    LogSink& Log() const { return m_log; }

signals:
    // An exchange has ended (done, timed out or its gadget gone); it is deleted later.
    void exchangeFinished(GadgetExchange* exchange);

private:
    GadgetExchange* Run(std::unique_ptr<GadgetExchange> exchange);
    void Finished(GadgetExchange* exchange);
    // Writes one packet to a listed gadget, framed at its output report length.
    SendResult Write(const GadgetId& target, const CommandPacket& packet);
    // Sends the first packet and those that waited behind it.
    void SendFirst();

    // The most packets that wait behind a first packet; past it they go at once, in order still.
    static constexpr std::size_t kMaxWaiting = 256;
    struct FirstPacket {
        GadgetId gadget;
        CommandPacket packet;
        std::vector<CommandPacket> waiting;
    };

    THidDeviceController& m_controller;
    LogSink& m_log;
    std::vector<GadgetEntry> m_entries;
    int m_selected = -1;
    std::vector<GadgetExchange*> m_exchanges;  // running, owned
    int m_replyWaitMs = kDefaultReplyWaitMs;
    std::optional<FirstPacket> m_first;
    QTimer m_firstTimer;
};

}  // namespace tavrel
