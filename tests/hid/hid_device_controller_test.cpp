#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "hid/controller_fixture.h"

namespace tavrel {
namespace {

using test::ControllerFixture;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(HidDeviceController, StartupNoticeReportsEveryDevicePresentThenChangeOnce) {
    ControllerFixture f;
    f.bus.Plug(SimulatedGadget());
    f.bus.Plug(SimulatedMouse());
    f.Start();
    EXPECT_THAT(f.TakeEvents(), ElementsAre("arrival sim:gadget-1", "arrival sim:mouse-1", "change"));
    EXPECT_EQ(f.controller->NotifyParam(), THidDeviceController::kStartupNotice);
    EXPECT_EQ(f.controller->NumCheckedIn(), 2);
    EXPECT_EQ(f.controller->NumCheckedOut(), 0);
    EXPECT_FALSE(f.controller->InDeviceChange());
}

TEST(HidDeviceController, StartupWithNoDeviceStillEndsWithChange) {
    ControllerFixture f;
    f.Start();
    EXPECT_THAT(f.TakeEvents(), ElementsAre("change"));
    EXPECT_THAT(f.Paths(), IsEmpty());
}

TEST(HidDeviceController, WithoutHidAccessNothingIsListedOrReported) {
    ControllerFixture f;
    f.bus.SetAvailable(false);
    f.bus.Plug(SimulatedGadget());
    f.controller = std::make_unique<THidDeviceController>(*f.platform);
    f.controller->SetDeviceChangeEvent([&](THidDeviceController&) { f.events.push_back("change"); });
    EXPECT_FALSE(f.AwaitChange(200));
    EXPECT_THAT(f.Paths(), IsEmpty());
}

TEST(HidDeviceController, ANoticeWithTheSameInterfacesFiresNothing) {
    ControllerFixture f;
    f.bus.Plug(SimulatedGadget());
    f.Start();
    f.TakeEvents();
    THidDevice* const before = f.controller->DeviceList().front();
    f.controller->EventPipe(THidDeviceController::kDeviceNodesChanged, 0);
    EXPECT_THAT(f.TakeEvents(), IsEmpty());
    EXPECT_EQ(f.controller->DeviceList().front(), before)
        << "the listed object stays; the scan's duplicate goes";
}

TEST(HidDeviceController, RemovalsFromTheEndBackwardsThenArrivalsThenOneChange) {
    ControllerFixture f;
    for (const char* path : {"sim:a", "sim:b", "sim:c"})
        f.bus.Plug(SimulatedGadget(path));
    f.Start();
    f.TakeEvents();
    // The bus posts one notice per change; a notice that finds the list already current fires nothing.
    f.bus.Unplug("sim:a");
    f.bus.Unplug("sim:c");
    f.bus.Plug(SimulatedMouse("sim:d"));
    f.controller->EventPipe(THidDeviceController::kDeviceNodesChanged, 0);
    EXPECT_THAT(f.TakeEvents(), ElementsAre("unplug sim:c", "removal sim:c", "unplug sim:a", "removal sim:a",
                                            "arrival sim:d", "change"));
    EXPECT_THAT(f.Paths(), ElementsAre("sim:b", "sim:d"));
    QCoreApplication::processEvents();  // the bus's own notices, posted already, find nothing new
    EXPECT_THAT(f.TakeEvents(), IsEmpty());
}

TEST(HidDeviceController, HotPlugNoticesReachTheControllerOnTheEventLoop) {
    ControllerFixture f;
    f.Start();
    f.TakeEvents();
    f.bus.Plug(SimulatedGadget());
    ASSERT_TRUE(f.AwaitChange());
    EXPECT_THAT(f.TakeEvents(), ElementsAre("arrival sim:gadget-1", "change"));
    f.bus.Unplug("sim:gadget-1");
    ASSERT_TRUE(f.AwaitChange());
    EXPECT_THAT(f.TakeEvents(), ElementsAre("unplug sim:gadget-1", "removal sim:gadget-1", "change"));
    EXPECT_THAT(f.Paths(), IsEmpty());
}

TEST(HidDeviceController, NoticesDuringARescanAreDropped) {
    ControllerFixture f;
    f.Start();
    int rescans = 0;
    bool insideRescan = false;
    f.controller->SetDeviceChangeEvent([&](THidDeviceController& controller) {
        ++rescans;
        insideRescan = controller.InDeviceChange();
        controller.EventPipe(THidDeviceController::kDeviceNodesChanged, 0);  // dropped, not queued
    });
    // Setting the handler after start-up rescans at once (still reporting the start-up notice).
    EXPECT_EQ(rescans, 1);
    rescans = 0;
    f.bus.Plug(SimulatedGadget());
    f.controller->EventPipe(THidDeviceController::kDeviceNodesChanged, 0);
    EXPECT_EQ(rescans, 1);
    EXPECT_TRUE(insideRescan);
    EXPECT_FALSE(f.controller->InDeviceChange());
    QCoreApplication::processEvents();  // the bus's own notice, posted already
    EXPECT_EQ(rescans, 1) << "the bus's own notice finds nothing new";
}

TEST(HidDeviceController, ALentDevicePulledOutStaysUntilItsHolderGivesItBack) {
    ControllerFixture f;
    f.bus.Plug(SimulatedGadget());
    f.bus.Plug(SimulatedMouse());
    f.Start();
    THidDevice* gadget = f.CheckOut("sim:gadget-1");
    ASSERT_NE(gadget, nullptr);
    f.TakeEvents();

    f.bus.Unplug("sim:gadget-1");
    ASSERT_TRUE(f.AwaitChange());
    EXPECT_THAT(f.TakeEvents(), ElementsAre("unplug sim:gadget-1", "removal sim:gadget-1", "change"));
    EXPECT_THAT(f.Paths(), ElementsAre("sim:gadget-1", "sim:mouse-1"));
    EXPECT_FALSE(gadget->PluggedIn());
    EXPECT_EQ(f.controller->NumUnplugged(), 1);
    EXPECT_EQ(f.controller->NumCheckedOut(), 0);
    EXPECT_EQ(f.controller->NumCheckedIn(), 1);

    std::vector<std::string> offered;
    f.controller->SetEnumerate([&](THidDevice& device, int) {
        offered.push_back(device.PnPInfo().DevicePath);
        return true;
    });
    EXPECT_EQ(f.controller->Enumerate(), 1);
    EXPECT_THAT(offered, ElementsAre("sim:mouse-1")) << "a gone device is not offered";

    delete gadget;  // given back: its entry is removed, not replaced
    EXPECT_THAT(f.Paths(), ElementsAre("sim:mouse-1"));
    EXPECT_EQ(f.controller->NumUnplugged(), 0);
}

TEST(HidDeviceController, TheSameDevicePluggedInAgainWhileItsOldObjectIsLentArrivesAsNew) {
    ControllerFixture f;
    f.bus.Plug(SimulatedGadget());
    f.Start();
    THidDevice* old = f.CheckOut("sim:gadget-1");
    f.TakeEvents();
    f.bus.Unplug("sim:gadget-1");
    ASSERT_TRUE(f.AwaitChange());
    f.bus.Replug("sim:gadget-1");
    ASSERT_TRUE(f.AwaitChange());
    // The old object, still lent and gone, is reported removed again at every rescan.
    EXPECT_THAT(f.TakeEvents(), ElementsAre("unplug sim:gadget-1", "removal sim:gadget-1", "change",
                                            "removal sim:gadget-1", "arrival sim:gadget-1", "change"));
    ASSERT_EQ(f.controller->DeviceList().size(), 2u);
    EXPECT_EQ(f.controller->DeviceList()[0], old);
    EXPECT_FALSE(old->PluggedIn());
    EXPECT_TRUE(f.controller->DeviceList()[1]->PluggedIn());
    EXPECT_NE(f.controller->DeviceList()[1]->PnPInfo().DeviceID, old->PnPInfo().DeviceID);
    delete old;
    EXPECT_EQ(f.controller->DeviceList().size(), 1u);
}

TEST(HidDeviceController, CheckOutAndCheckInKeepTheCounts) {
    ControllerFixture f;
    f.bus.Plug(SimulatedGadget("sim:a"));
    f.bus.Plug(SimulatedGadget("sim:b"));
    f.Start();
    THidDevice* device = reinterpret_cast<THidDevice*>(1);
    EXPECT_FALSE(f.controller->CheckOutByIndex(device, -1));
    EXPECT_EQ(device, nullptr);
    device = reinterpret_cast<THidDevice*>(1);
    EXPECT_FALSE(f.controller->CheckOutByIndex(device, 2));
    EXPECT_EQ(device, nullptr);

    THidDevice* a = f.CheckOut("sim:a");
    ASSERT_NE(a, nullptr);
    EXPECT_TRUE(a->CheckedOut());
    EXPECT_EQ(a->ReadThread(), nullptr) << "no data handler, no reader";
    THidDevice* again = nullptr;
    EXPECT_FALSE(f.controller->CheckOutByIndex(again, 0)) << "already lent";
    EXPECT_FALSE(f.controller->CheckThisOut(again, 1, false));
    EXPECT_EQ(f.controller->NumCheckedOut(), 1);
    EXPECT_EQ(f.controller->NumCheckedIn(), 1);

    f.controller->CheckIn(a);
    EXPECT_EQ(a, nullptr);
    EXPECT_EQ(f.controller->NumCheckedOut(), 0);
    EXPECT_EQ(f.controller->NumCheckedIn(), 2);
    EXPECT_FALSE(f.controller->DeviceList()[0]->CheckedOut());
    EXPECT_EQ(f.controller->DeviceList()[0]->ReadThread(), nullptr);

    // A gone device checked in is destroyed.
    THidDevice* b = f.CheckOut("sim:b");
    f.bus.Unplug("sim:b");
    ASSERT_TRUE(f.AwaitChange());
    f.controller->CheckIn(b);
    EXPECT_THAT(f.Paths(), ElementsAre("sim:a"));
    EXPECT_EQ(f.controller->NumUnplugged(), 0);
}

TEST(HidDeviceController, DestroyingALentPresentDeviceLeavesAFreshOneInItsPlace) {
    ControllerFixture f;
    const auto onData =
        MakeHidEvent<THidDataEvent>([](THidDevice&, std::uint8_t, const std::uint8_t*, std::uint16_t) {});
    f.bus.Plug(SimulatedMouse());
    f.bus.Plug(SimulatedGadget());
    f.Start();
    f.controller->SetDevData(onData);
    THidDevice* lent = f.CheckOut("sim:gadget-1");
    lent->SetThreadSleepTime(250);
    const std::uint32_t deviceId = lent->PnPInfo().DeviceID;
    EXPECT_EQ(f.controller->NumCheckedOut(), 1);

    delete lent;
    ASSERT_EQ(f.controller->DeviceList().size(), 2u);
    THidDevice* fresh = f.controller->DeviceList()[1];
    EXPECT_NE(fresh, lent);
    EXPECT_EQ(fresh->PnPInfo().DeviceID, deviceId);
    EXPECT_FALSE(fresh->CheckedOut());
    EXPECT_EQ(fresh->ReadThread(), nullptr);
    EXPECT_EQ(fresh->OnData(), onData);
    EXPECT_EQ(fresh->ThreadSleepTime(), 250);
    EXPECT_EQ(f.controller->NumCheckedOut(), 0);
    EXPECT_EQ(f.controller->NumCheckedIn(), 2);
    EXPECT_THAT(f.TakeEvents(), ElementsAre("arrival sim:mouse-1", "arrival sim:gadget-1", "change"))
        << "giving back fires no event";
}

TEST(HidDeviceController, AReplacementThatCannotBeOpenedLeavesTheListConsistent) {
    ControllerFixture f;
    f.bus.Plug(SimulatedGadget());
    f.Start();
    THidDevice* lent = f.CheckOut("sim:gadget-1");
    f.bus.Unplug("sim:gadget-1");  // gone between the scan and the give-back: no notice handled yet
    delete lent;
    EXPECT_THAT(f.Paths(), IsEmpty());
    EXPECT_EQ(f.controller->NumCheckedIn(), 0);
    EXPECT_EQ(f.controller->NumCheckedOut(), 0);
    EXPECT_FALSE(f.controller->InDeviceChange());
    f.bus.Replug("sim:gadget-1");
    ASSERT_TRUE(f.AwaitChange()) << "later notices are still handled";
    EXPECT_THAT(f.Paths(), ElementsAre("sim:gadget-1"));
}

TEST(HidDeviceController, EnumerateWithAndWithoutAHandler) {
    ControllerFixture f;
    f.Start();
    EXPECT_EQ(f.controller->Enumerate(), 0);
    f.bus.Plug(SimulatedGadget("sim:a"));
    f.bus.Plug(SimulatedGadget("sim:b"));
    f.bus.Plug(SimulatedGadget("sim:c"));
    f.controller->EventPipe(THidDeviceController::kDeviceNodesChanged, 0);
    EXPECT_EQ(f.controller->Enumerate(), 1) << "without a handler only the first device is offered";

    std::vector<int> indexes;
    f.controller->SetEnumerate([&](THidDevice& device, int idx) {
        indexes.push_back(idx);
        EXPECT_TRUE(device.InCallback());
        EXPECT_EQ(device.GetCaps().outputReportByteLength, 65) << "queries work inside the callback";
        return idx < 1;
    });
    EXPECT_EQ(f.controller->Enumerate(), 2);
    EXPECT_THAT(indexes, ElementsAre(0, 1));
    EXPECT_EQ(f.bus.OpenHandleCount("sim:a"), 0u)
        << "handles of a device not lent are closed after the callback";
}

TEST(HidDeviceController, InterfacesThatCannotBeOpenedAreSkipped) {
    ControllerFixture f;
    f.bus.Plug(SimulatedGadget("sim:a"));
    f.bus.Plug(SimulatedGadget("sim:b"));
    f.bus.SetOpenRefused("sim:a", HidOpenMode::ReadWrite, true);
    f.Start();
    EXPECT_THAT(f.Paths(), ElementsAre("sim:a", "sim:b")) << "a query-only interface is still listed";
    EXPECT_FALSE(f.controller->DeviceList()[0]->ReadWriteAccess());
    EXPECT_TRUE(f.controller->DeviceList()[1]->ReadWriteAccess());
}

TEST(HidDeviceController, PropertyWritersReachTheDevicesThatCarryTheControllersHandler) {
    ControllerFixture f;
    f.bus.Plug(SimulatedGadget("sim:a"));
    f.bus.Plug(SimulatedGadget("sim:b"));
    f.Start();
    THidDevice& a = *f.controller->DeviceList()[0];
    THidDevice& b = *f.controller->DeviceList()[1];
    b.SetThreadSleepTime(300);
    f.controller->SetDevThreadSleepTime(40);
    EXPECT_EQ(a.ThreadSleepTime(), 40);
    EXPECT_EQ(b.ThreadSleepTime(), 300) << "changed by its holder, so left alone";
    f.controller->SetDevThreadSleepTime(5);  // out of a device's range: devices keep theirs
    EXPECT_EQ(a.ThreadSleepTime(), 40);

    const auto own = MakeHidEvent<THidDataErrorEvent>([](THidDevice&, std::uint32_t) {});
    b.SetOnDataError(own);
    const auto shared = MakeHidEvent<THidDataErrorEvent>([](THidDevice&, std::uint32_t) {});
    f.controller->SetDevDataError(shared);
    EXPECT_EQ(a.OnDataError(), shared);
    EXPECT_EQ(b.OnDataError(), own);
}

}  // namespace
}  // namespace tavrel
