#include "remote/udp_script_server.h"

#include "common/gbk_literal.h"
#include "common/gbk_text.h"
#include "common/text_escape.h"

namespace tavrel {

namespace {

std::string Join(std::initializer_list<std::string_view> pieces) {
    std::string joined;
    for (const std::string_view piece : pieces)
        joined += piece;
    return joined;
}

// A sender as the log names it: "ADDRESS", "other senders" in the window's words.
std::string SenderText(const std::string& sender) {
    if (sender == NoticeTally::kOtherSenders) return std::string("其他发送方"_gbk);
    return sender;  // an address the socket wrote: ASCII
}

std::string WhoText(const LineOrigin& who) {
    return Join({EscapeToPrintableAscii(who.identity), "（"_gbk, who.address, ":", std::to_string(who.port),
                 "）"_gbk});
}

}  // namespace

UdpScriptServer::UdpScriptServer(PacketSink& packets, LogSink& log, QHostAddress bindAddress, QObject* parent)
    : QObject(parent), m_log(log), m_server(packets, log, *this, std::move(bindAddress)) {
    // Bound from the start; until the server is enabled its datagrams are read and lost. A port
    // taken now matters only once the server is enabled, which binds again and says so.
    m_server.Listen(kDefaultPort);
}

UdpScriptServer::~UdpScriptServer() = default;

void UdpScriptServer::UseDtls(KeySet keys, DtlsLimits limits) {
    m_server.UseDtls(std::move(keys), limits);
}

void UdpScriptServer::Enable(const std::string& portText) {
    m_server.SetAccepting(true);
    std::int32_t port = 0;
    if (m_server.Endpoint() == nullptr) {
        m_log.TraceLine("UDP端口设置错误"_gbk);
        return;
    }
    // A port is 0 (the system chooses) to 65535; anything else is a bad text, not a port's low 16
    // bits. The server then stays deaf on whatever it was bound to before.
    if (!ParseWholeInteger(TrimBlanksAndControls(portText), port) || port < 0 || port > 0xFFFF) {
        m_server.Deafen();
        m_log.TraceLine("UDP端口设置错误"_gbk);
        m_log.LogLine(std::string(std::string_view("UDP端口设置错误："_gbk)) + portText);
        return;
    }
    try {
        if (const std::optional<std::string> failure = m_server.Listen(port)) {
            m_server.Deafen();
            m_log.TraceLine("UDP端口设置错误"_gbk);
            LogBindFailure(port, *failure);
        }
    } catch (const UDPSockError& error) {
        m_server.Deafen();
        m_log.TraceLine("UDP端口设置错误"_gbk);
        LogBindFailure(port, error.what());
    }
}

void UdpScriptServer::LogBindFailure(int port, const std::string& failure) {
    std::string line(std::string_view("UDP端口绑定失败："_gbk));
    line += std::to_string(port & 0xFFFF);
    line += "，"_gbk;
    line += failure;  // the system's words, ASCII
    m_log.LogLine(line);
}

void UdpScriptServer::Disable() {
    m_server.SetAccepting(false);
    m_server.DropEverything();
}

void UdpScriptServer::LineArrived(const LineOrigin& from, const std::string& line) {
    static_cast<void>(from);
    m_log.LogLine("收到UDP数据"_gbk);
    if (m_log.TracesShown()) m_log.TraceLine(EscapeControlBytes(line));
}

void UdpScriptServer::Refused(LineRefusal reason, const std::string& sender, std::size_t count,
                              const std::string& detail) {
    std::string line;
    const std::string identity = Join({"“"_gbk, EscapeToPrintableAscii(detail), "”"_gbk});
    switch (reason) {
        case LineRefusal::TooLong: line = "UDP数据过长，已丢弃"_gbk; break;
        case LineRefusal::Unreadable: line = "UDP数据读取失败，已丢弃"_gbk; break;
        case LineRefusal::NotAllowed: line = "UDP发送方不在允许列表中，已丢弃"_gbk; break;
        case LineRefusal::NotDtls: line = "不是DTLS握手的UDP数据，已丢弃"_gbk; break;
        case LineRefusal::UnknownIdentity:
            line = Join({"DTLS握手被拒（未知身份"_gbk, identity, "），共"_gbk});
            break;
        case LineRefusal::WrongKey:
            line = Join({"DTLS握手被拒（密钥错误，身份"_gbk, identity, "），共"_gbk});
            break;
        case LineRefusal::TableFull: line = "DTLS握手被拒（会话已满），共"_gbk; break;
        case LineRefusal::HandshakeFailed: line = "DTLS握手失败，共"_gbk; break;
        case LineRefusal::RecordLineTooLong:
            line = Join({"DTLS记录被拒（行过长，身份"_gbk, identity, "），共"_gbk});
            break;
        case LineRefusal::RecordNotUtf8:
            line = Join({"DTLS记录被拒（不是有效的UTF-8，身份"_gbk, identity, "），共"_gbk});
            break;
        case LineRefusal::RecordNotGbk:
            line = Join({"DTLS记录被拒（含GBK无法表示的字符，身份"_gbk, identity, "），共"_gbk});
            break;
    }
    line += std::to_string(count);
    line += "个"_gbk;
    if (!sender.empty()) line += Join({"（来自"_gbk, SenderText(sender), "）"_gbk});
    m_log.LogLine(line);
}

void UdpScriptServer::SessionOpened(const LineOrigin& who) {
    m_log.LogLine(Join({"DTLS会话开始："_gbk, WhoText(who)}));
}

void UdpScriptServer::SessionClosed(const LineOrigin& who, SessionEnd why) {
    std::string line = Join({"DTLS会话结束："_gbk, WhoText(who), "，"_gbk});
    switch (why) {
        case SessionEnd::Closed: line += "对方关闭"_gbk; break;
        case SessionEnd::Idle: line += "空闲超时"_gbk; break;
        case SessionEnd::Revoked: line += "密钥已撤销"_gbk; break;
        case SessionEnd::Stopped: line += "服务器停止"_gbk; break;
    }
    m_log.LogLine(line);
}

void UdpScriptServer::Released(const LineOrigin& who, const std::string& line) {
    m_log.LogLine(Join({"已为"_gbk, WhoText(who), "松开按住的键："_gbk, line}));
}

}  // namespace tavrel
