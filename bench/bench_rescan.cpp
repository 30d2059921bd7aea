// A device-change notice costs a full rescan: every interface present is opened and identified
// again, and the objects of interfaces already listed are made and dropped at once. This measures
// one rescan over 1, 8 and 32 simulated interfaces (half gadgets, half mice).
#include <QCoreApplication>
#include <benchmark/benchmark.h>

#include "hid/hid_device_controller.h"
#include "sim/simulated_hid_bus.h"

namespace {

void BM_Rescan(benchmark::State& state) {
    tavrel::SimulatedHidBus bus;
    const int interfaces = static_cast<int>(state.range(0));
    for (int i = 0; i < interfaces; ++i) {
        const std::string path = "sim:" + std::to_string(i);
        bus.Plug(i % 2 == 0 ? tavrel::SimulatedGadget(path) : tavrel::SimulatedMouse(path));
    }
    const auto platform = bus.CreatePlatform();
    tavrel::THidDeviceController controller(*platform);
    QCoreApplication::processEvents();  // the start-up scan
    if (controller.DeviceList().size() != static_cast<std::size_t>(interfaces)) {
        state.SkipWithError("the start-up scan did not list every interface");
        return;
    }
    for (auto _ : state) {
        controller.EventPipe(tavrel::THidDeviceController::kDeviceNodesChanged, 0);
    }
    state.SetItemsProcessed(state.iterations() * interfaces);
    state.counters["interfaces"] = interfaces;
}
BENCHMARK(BM_Rescan)->Arg(1)->Arg(8)->Arg(32)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
