#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hid/hid_platform.h"

namespace tavrel {

// HID access on Linux through the kernel's hidraw driver: interfaces and their identity from sysfs,
// reports through the hidraw device nodes, hot-plug notices from udev (or, where no udev daemon
// runs, from watching the device folder). The three roots are the real ones unless a test hands in
// a fake tree.
class LinuxHidrawPlatform : public HidPlatform {
public:
    explicit LinuxHidrawPlatform(std::string sysfsRoot = "/sys", std::string devRoot = "/dev",
                                 std::string udevRunDir = "/run/udev");
    ~LinuxHidrawPlatform() override;

    LinuxHidrawPlatform(const LinuxHidrawPlatform&) = delete;
    LinuxHidrawPlatform& operator=(const LinuxHidrawPlatform&) = delete;

    // True wherever sysfs is mounted: the hidraw class folder itself only appears once the kernel
    // has loaded its HID core, which may be when the first HID device is plugged in.
    bool Available() const override;
    // Every <sysfs>/class/hidraw/hidrawN in the order of N, as "<dev>/hidrawN".
    std::vector<HidInterface> EnumerateInterfaces() override;
    // Opens "<dev>/hidrawN" only when it is the character device sysfs gives for hidrawN.
    HidOpenResult Open(const std::string& path, HidOpenMode mode) override;
    void StartMonitoring(std::function<void()> notice) override;

private:
    class Monitor;

    std::string m_sysfsRoot;
    std::string m_devRoot;
    std::string m_udevRunDir;
    std::unique_ptr<Monitor> m_monitor;
};

}  // namespace tavrel
