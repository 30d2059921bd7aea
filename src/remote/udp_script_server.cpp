#include "remote/udp_script_server.h"

#include <chrono>

#include "common/gbk_literal.h"
#include "common/gbk_text.h"
#include "common/text_escape.h"

namespace tavrel {

UdpScriptServer::UdpScriptServer(PacketSink& packets, LogSink& log, QHostAddress bindAddress, QObject* parent)
    : QObject(parent),
      m_packets(packets),
      m_log(log),
      m_endpoint(std::make_unique<TUdpEndpoint>(bindAddress)) {
    m_endpoint->SetReportLevel(1);
    m_endpoint->SetOnRefused(
        [this](TUdpEndpoint::Refusal refusal, const std::string& from) { Refused(refusal, from); });
    // Bound from the start; until the server is enabled its datagrams are read and lost. A port
    // taken now matters only once the server is enabled, which binds again and says so.
    m_endpoint->SetLocalPort(kDefaultPort);
    connect(&tmrUdpSc, &TickTimer::timeout, this, &UdpScriptServer::tmrUdpScTimer);
}

UdpScriptServer::~UdpScriptServer() = default;

void UdpScriptServer::Enable(const std::string& portText) {
    m_enabled = true;
    std::int32_t port = 0;
    if (!m_endpoint) {
        m_log.TraceLine("UDP端口设置错误"_gbk);
        return;
    }
    // A port is 0 (the system chooses) to 65535; anything else is a bad text, not a port's low 16
    // bits. The server then stays deaf on whatever it was bound to before.
    if (!ParseWholeInteger(TrimBlanksAndControls(portText), port) || port < 0 || port > 0xFFFF) {
        m_endpoint->SetOnDataReceived(nullptr);
        m_log.TraceLine("UDP端口设置错误"_gbk);
        m_log.LogLine(std::string(std::string_view("UDP端口设置错误："_gbk)) + portText);
        return;
    }
    try {
        if (const std::optional<std::string> failure = m_endpoint->SetLocalPort(port)) {
            m_log.TraceLine("UDP端口设置错误"_gbk);
            LogBindFailure(port, *failure);
            return;
        }
    } catch (const UDPSockError& error) {
        m_log.TraceLine("UDP端口设置错误"_gbk);
        LogBindFailure(port, error.what());
        return;
    }
    m_endpoint->SetOnDataReceived([this](TUdpEndpoint& sender, int bytes, const std::string&, int) {
        Udp1DataReceived(sender, bytes);
    });
}

void UdpScriptServer::LogBindFailure(int port, const std::string& failure) {
    std::string line(std::string_view("UDP端口绑定失败："_gbk));
    line += std::to_string(port & 0xFFFF);
    line += "，"_gbk;
    line += failure;  // the system's words, ASCII
    m_log.LogLine(line);
}

void UdpScriptServer::Disable() {
    m_enabled = false;
    if (m_endpoint) m_endpoint->SetOnDataReceived(nullptr);
    tmrUdpSc.Stop();
    lstUdpSc.Clear();
}

void UdpScriptServer::DestroyEndpoint() {
    m_endpoint.reset();
}

void UdpScriptServer::Udp1DataReceived(TUdpEndpoint& Sender, int NumberBytes) {
    m_log.LogLine("收到UDP数据"_gbk);
    const std::vector<char>& datagram = Sender.ReadDatagram();
    std::string line = UdpLineQueue::LineOf(
        {datagram.data(), std::min(datagram.size(), static_cast<std::size_t>(NumberBytes))});
    if (m_log.TracesShown()) m_log.TraceLine(EscapeControlBytes(line));
    if (!lstUdpSc.Push(std::move(line))) ReportOverflow();
    m_driver.Schedule();
}

void UdpScriptServer::tmrUdpScTimer() {
    if (!m_enabled) return;
    m_driver.Tick(m_packets, m_log);
    ReportOverflow();
}

void UdpScriptServer::Refused(TUdpEndpoint::Refusal refusal, const std::string& from) {
    if (m_enabled) m_notices.Count(static_cast<std::size_t>(refusal), from);
}

void UdpScriptServer::Say(const NoticeTally::Notice& notice) {
    const bool tooLong = notice.kind == static_cast<std::size_t>(TUdpEndpoint::Refusal::TooLong);
    std::string line(tooLong ? "UDP数据过长，已丢弃"_gbk : "UDP数据读取失败，已丢弃"_gbk);
    line += std::to_string(notice.count);
    line += "个"_gbk;
    if (notice.sender == NoticeTally::kOtherSenders) {
        line += "（来自其他发送方）"_gbk;
    } else if (!notice.sender.empty()) {
        line += "（来自"_gbk;
        line += notice.sender;  // an address the socket wrote: ASCII
        line += "）"_gbk;
    }
    m_log.LogLine(line);
}

void UdpScriptServer::ReportOverflow() {
    if (const auto report = lstUdpSc.TakeOverflowReport(UdpLineQueue::Clock::now())) m_log.LogLine(*report);
    if (const auto report = lstUdpSc.TakeStallReport()) m_log.LogLine(*report);
}

}  // namespace tavrel
