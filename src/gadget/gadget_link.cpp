#include "gadget/gadget_link.h"

#include <algorithm>

#include <QString>

#include "commands/command_packet.h"
#include "commands/gadget_filter.h"
#include "common/gbk_literal.h"
#include "common/gbk_text.h"
#include "gadget/gadget_exchange.h"
#include "hid/hid_device.h"
#include "hid/hid_device_controller.h"
#include "textcodec/gbk_codec.h"

namespace tavrel {

namespace {

// Paths and the system's error texts are UTF-8; the log takes GBK.
std::string Gbk(const std::string& utf8) {
    return ToGbk(QString::fromStdString(utf8));
}

}  // namespace

GadgetId IdOf(const THidDevice& device) {
    return {device.PnPInfo().DevicePath, device.PnPInfo().DeviceID};
}

GadgetLink::GadgetLink(THidDeviceController& controller, LogSink& log)
    : m_controller(controller), m_log(log) {
    m_firstTimer.setSingleShot(true);
    connect(&m_firstTimer, &QTimer::timeout, this, [this] { SendFirst(); });
}

GadgetLink::~GadgetLink() {
    for (GadgetExchange* exchange : std::exchange(m_exchanges, {}))
        delete exchange;
    GiveBackAll();  // with the controller gone first, this only destroys the detached objects
}

void GadgetLink::GiveBackAll() {
    // Destroying a lent device gives it back: its reader stops (running the hand-overs it has
    // pending, which may call HandleReport), and the controller lends a fresh object next time.
    std::vector<GadgetEntry> entries = std::exchange(m_entries, {});
    m_selected = -1;
    for (const GadgetEntry& entry : entries)
        delete entry.device;
}

int GadgetLink::Rebuild() {
    GiveBackAll();
    m_controller.Enumerate();
    for (GadgetExchange* exchange : std::vector<GadgetExchange*>(m_exchanges)) {
        if (exchange->Target() && Find(*exchange->Target()) == nullptr) {
            exchange->GadgetLeft({});
        }
    }
    return static_cast<int>(m_entries.size());
}

GadgetListing GadgetLink::Take(THidDevice& device, int index) {
    GadgetListing listing;
    m_selected = -1;
    const HidAttributes& identity = device.Attributes();
    if (!IsGadget(identity.vendorId, device.GetCaps().outputReportByteLength)) return listing;
    THidDevice* lent = nullptr;
    if (!m_controller.CheckOutByIndex(lent, index) || lent == nullptr) return listing;
    listing.entryText = FormatText("VID=%04X PID=%04X", identity.vendorId, identity.productId);
    m_entries.push_back({*listing.entryText, lent, IdOf(*lent)});
    if (lent->GetProductName().find(u"USB") != std::u16string::npos) {
        listing.logLines.emplace_back("检测到设备已连接"_gbk);
    }
    // Listed all the same, as the operator may still want to see it; but every write would fail,
    // and this is the first thing a new user on Linux meets.
    if (!lent->ReadWriteAccess()) {
        std::string line(std::string_view("无法读写设备："_gbk));
        line += Gbk(lent->PnPInfo().DevicePath);
        line += "，"_gbk;
        line += Gbk(lent->ReadWriteError());
        line += "（安装udev规则70-tavrel.rules可解决）"_gbk;
        listing.logLines.push_back(std::move(line));
    }
    return listing;
}

void GadgetLink::Select(int index) {
    m_selected = index >= 0 && static_cast<std::size_t>(index) < m_entries.size() ? index : -1;
}

THidDevice* GadgetLink::SelectedDevice() const {
    return m_selected >= 0 ? m_entries[static_cast<std::size_t>(m_selected)].device : nullptr;
}

std::optional<GadgetId> GadgetLink::SelectedGadget() const {
    if (m_selected < 0) return std::nullopt;
    return m_entries[static_cast<std::size_t>(m_selected)].id;
}

std::optional<std::string> GadgetLink::SelectedDescription() const {
    THidDevice* device = SelectedDevice();
    if (device == nullptr) return std::nullopt;
    return FormatText("VID=%04X PID=%04X, OutputReportByteLength:%d,", device->Attributes().vendorId,
                      device->Attributes().productId, device->GetCaps().outputReportByteLength);
}

THidDevice* GadgetLink::Find(const GadgetId& id) const {
    const auto entry =
        std::find_if(m_entries.begin(), m_entries.end(), [&](const auto& e) { return e.id == id; });
    return entry == m_entries.end() ? nullptr : entry->device;
}

void GadgetLink::SendPacket(const CommandPacket& packet) {
    SendPacketTo(SelectedGadget(), packet);
}

void GadgetLink::SendPacket(const CommandPacket& packet, LogSink& log) {
    SendPacketTo(SelectedGadget(), packet, &log);
}

GadgetLink::SendResult GadgetLink::SendPacketTo(const std::optional<GadgetId>& target,
                                                const CommandPacket& packet, LogSink* log) {
    if (!target) {
        (log != nullptr ? *log : m_log).LogLine("请选择设备"_gbk);
        return {};  // nothing to reach; the sender carries on as if it had sent
    }
    if (m_first && m_first->gadget == *target && m_first->waiting.size() < kMaxWaiting) {
        if (Find(*target) == nullptr) return {SendResult::Status::NotListed, false, {}};
        m_first->waiting.push_back(packet);  // behind the first packet
        return {};
    }
    return Write(*target, packet);
}

GadgetLink::SendResult GadgetLink::Write(const GadgetId& target, const CommandPacket& packet) {
    using Status = SendResult::Status;
    THidDevice* device = Find(target);
    if (device == nullptr) return {Status::NotListed, false, {}};
    const std::vector<std::uint8_t> report =
        BuildOutputReport(packet.bytes(), device->GetCaps().outputReportByteLength);
    SendResult result;
    if (!device->WriteFile(report)) {
        result = {Status::WriteFailed, device->WriteError() == kHidErrorDeviceGone, device->WriteErrorText()};
    }
    // Cleared whether the write worked or not, as the reply flag always was.
    for (GadgetExchange* exchange : m_exchanges) {
        if (exchange->Target() == target) exchange->PacketWritten({});
    }
    return result;
}

void GadgetLink::SendFirstAfter(const CommandPacket& packet, int delayMs) {
    const std::optional<GadgetId> selected = SelectedGadget();
    if (m_first && (!selected || m_first->gadget != *selected)) {
        // Superseded: the packets that waited for the gadget of before go now, the first one not.
        FirstPacket before = std::move(*m_first);
        m_first.reset();
        for (const CommandPacket& waiting : before.waiting)
            Write(before.gadget, waiting);
    }
    if (!selected) {
        m_firstTimer.stop();
        return;
    }
    if (m_first) {
        m_first->packet = packet;
    } else {
        m_first = FirstPacket{*selected, packet, {}};
    }
    m_firstTimer.start(delayMs);
}

void GadgetLink::SendFirst() {
    if (!m_first) return;
    const FirstPacket first = std::move(*m_first);
    m_first.reset();
    Write(first.gadget, first.packet);  // a gadget that has left takes nothing
    for (const CommandPacket& waiting : first.waiting)
        Write(first.gadget, waiting);
}

ReplyEffects GadgetLink::HandleReport(THidDevice& device, std::span<const std::uint8_t> bytes) {
    const GadgetId id = IdOf(device);
    ReplyEffects effects = DecodeReplyEffects(bytes);
    for (GadgetExchange* exchange : m_exchanges) {
        if (exchange->Target() == id) {
            // Queued: the report's own effects are applied before the exchange sends again.
            QMetaObject::invokeMethod(
                exchange, [exchange, effects] { exchange->ReportArrived({}, effects); },
                Qt::QueuedConnection);
        }
    }
    return effects;
}

bool GadgetLink::RefuseWhileBusy() {
    if (!Busy()) return false;
    m_log.LogLine("设备忙，上一操作尚未完成"_gbk);
    return true;
}

GadgetExchange* GadgetLink::Start(std::unique_ptr<GadgetExchange> exchange) {
    if (RefuseWhileBusy()) return nullptr;
    return Run(std::move(exchange));
}

GadgetExchange* GadgetLink::StartAlongside(std::unique_ptr<GadgetExchange> exchange) {
    if (exchange->Target() && BusyWith(*exchange->Target())) {
        m_log.LogLine("设备忙，上一操作尚未完成"_gbk);
        return nullptr;
    }
    return Run(std::move(exchange));
}

GadgetExchange* GadgetLink::Run(std::unique_ptr<GadgetExchange> exchange) {
    GadgetExchange* started = exchange.release();
    m_exchanges.push_back(started);
    connect(started, &GadgetExchange::finished, this, [this, started] { Finished(started); });
    started->StartExchange({});
    return started;
}

bool GadgetLink::Busy() const {
    return std::any_of(m_exchanges.begin(), m_exchanges.end(),
                       [](const GadgetExchange* e) { return e->Running(); });
}

bool GadgetLink::BusyWith(const GadgetId& gadget) const {
    return std::any_of(m_exchanges.begin(), m_exchanges.end(),
                       [&](const GadgetExchange* e) { return e->Running() && e->Target() == gadget; });
}

void GadgetLink::Finished(GadgetExchange* exchange) {
    std::erase(m_exchanges, exchange);
    emit exchangeFinished(exchange);
    exchange->deleteLater();
}

}  // namespace tavrel
