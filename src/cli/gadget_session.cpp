#include "cli/gadget_session.h"

#include <QEventLoop>
#include <QTimer>

#include "hid/hid_device_controller.h"

namespace tavrel {

GadgetSession::GadgetSession(HidPlatform& platform, int replyWaitMs)
    : m_controller(std::make_unique<THidDeviceController>(platform)),
      m_link(std::make_unique<GadgetLink>(*m_controller, m_log)) {
    m_link->SetReplyWaitMs(replyWaitMs);
    m_controller->SetEnumerate([this](THidDevice& device, int index) {
        m_link->Take(device, index);
        return true;
    });
    m_controller->SetDevData(MakeHidEvent<THidDataEvent>(
        [this](THidDevice& device, std::uint8_t, const std::uint8_t* data, std::uint16_t size) {
            m_link->HandleReport(device, {data, size});
        }));
    m_controller->SetDeviceChangeEvent([this](THidDeviceController&) {
        m_link->Rebuild();
        if (m_rebuilt) m_rebuilt();
    });
}

GadgetSession::~GadgetSession() {
    // The readers' hand-overs must not reach a link being torn down; the controller goes first,
    // so that the link destroys the lent devices without their being replaced.
    m_controller->SetDevData(nullptr);
    m_controller.reset();
    m_link.reset();
}

void GadgetSession::Open() {
    WaitForFirstScan(*m_controller);
}

std::vector<ExchangeEnd> GadgetSession::RunAll(std::vector<std::unique_ptr<GadgetExchange>> exchanges) {
    std::vector<ExchangeEnd> ends(exchanges.size());
    std::size_t running = exchanges.size();
    QEventLoop loop;
    for (std::size_t i = 0; i < exchanges.size(); ++i) {
        GadgetExchange* exchange = exchanges[i].get();
        if (const auto* sequence = dynamic_cast<const PacketSequence*>(exchange)) {
            ends[i].packets = sequence->PacketCount();
        }
        QObject::connect(exchange, &GadgetExchange::finished, &loop, [&, i, exchange] {
            ExchangeEnd& end = ends[i];
            end.outcome = exchange->GetOutcome();
            end.failure = exchange->FailureText();
            if (const auto* sequence = dynamic_cast<const PacketSequence*>(exchange)) {
                end.sent = sequence->Sent();
                end.answered = sequence->Answered();
                end.packets = sequence->PacketCount();
            }
            if (--running == 0) loop.quit();
        });
    }
    for (std::size_t i = 0; i < exchanges.size(); ++i) {
        if (m_link->StartAlongside(std::move(exchanges[i])) == nullptr) {
            ends[i].outcome = GadgetExchange::Outcome::Failed;  // two for one gadget
            ends[i].failure = "busy with another exchange";
            if (--running == 0) loop.quit();
        }
    }
    if (running > 0) loop.exec();
    return ends;
}

}  // namespace tavrel
