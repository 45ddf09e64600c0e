// Whether this host is a virtual machine, for the metrics; and the VM
// discovery hook, which finds nothing.
#include <sys/stat.h>

#include <atomic>
#include <mutex>
#include <string>

#include "dependency.h"
#include "depend_servers.h"
#include "depend_services.h"
#include "hostfs.h"
#include "textscan.h"
#include "kestrova.h"

namespace kestrova::servers {

namespace {

bool contains(std::string_view s, std::string_view part) {
    return s.find(part) != std::string_view::npos;
}

} // namespace

bool dmiIsVirtual(std::string_view vendor, std::string_view product) {
    vendor = textscan::trim(vendor);
    product = textscan::trim(product);
    static const std::string_view names[] = {"QEMU", "KVM",   "VMware",    "VirtualBox", "innotek",
                                             "Xen",  "Bochs", "Parallels", "BHYVE",      "OpenStack"};
    for (std::string_view n : names)
        if (contains(vendor, n) || contains(product, n))
            return true;
    if (textscan::startsWith(vendor, "Microsoft") && contains(product, "Virtual Machine"))
        return true;
    if (textscan::startsWith(vendor, "Google") || contains(product, "Google Compute Engine"))
        return true;
    // Amazon's bare-metal instances are the machine itself.
    if (textscan::startsWith(vendor, "Amazon EC2") && !contains(product, ".metal"))
        return true;
    return false;
}

bool cpuinfoHasHypervisor(std::string_view text) {
    for (std::string_view line : boundedLines(text, 1u << 16)) {
        if (!textscan::startsWith(line, "flags"))
            continue;
        size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        std::string_view rest = line.substr(colon + 1);
        for (size_t p = 0; p < rest.size();) {
            while (p < rest.size() && textscan::isBlank(rest[p]))
                ++p;
            size_t start = p;
            while (p < rest.size() && !textscan::isBlank(rest[p]))
                ++p;
            if (rest.substr(start, p - start) == "hypervisor")
                return true;
        }
    }
    return false;
}

} // namespace kestrova::servers

namespace {

// -1 unknown; becomes 1 once and stays.
std::atomic<int> verdict{-1};

// What the firmware and the kernel say does not change while the host runs:
// read once.
std::mutex factsLock;
int hostFacts = -1; // -1 not read yet, else 0 or 1

bool hostFactsSayVirtual() {
    std::lock_guard g(factsLock);
    if (hostFacts < 0) {
        std::string text, vendor, product;
        bool virt =
            hostfs::readHostFile("/proc/cpuinfo", text, 4u << 20) && kestrova::servers::cpuinfoHasHypervisor(text);
        if (!virt) {
            hostfs::readHostLine("/sys/class/dmi/id/sys_vendor", vendor);
            hostfs::readHostLine("/sys/class/dmi/id/product_name", product);
            virt = kestrova::servers::dmiIsVirtual(vendor, product);
        }
        struct stat st;
        if (!virt)
            virt = hostfs::statHostFile("/proc/device-tree/hypervisor", &st) == 0;
        hostFacts = virt ? 1 : 0;
    }
    return hostFacts == 1;
}

bool vmwareSays() {
    static const char *const tools[] = {"vmtoolsd.exe",   "VMwareUser.exe", "VMwareTray.exe", "vmware-user",
                                        "vmware-toolbox", "vmware-guestd",  "vmtoolsd"};
    if (amIClient(dependVM))
        return true;
    for (const char *name : tools)
        if (isProcessRunning(name))
            return true;
    std::string scsi;
    return hostfs::readHostFile("/proc/scsi/scsi", scsi, 1u << 20) && scsi.find("VMware") != std::string::npos;
}

} // namespace

namespace kestrova::servers {
void resetVirtualForTests() {
    verdict.store(-1);
    std::lock_guard g(factsLock);
    hostFacts = -1;
}
} // namespace kestrova::servers

extern "C" int amIVirtual(void) {
    if (verdict.load() == 1)
        return 1;
    try {
        if (vmwareSays() || hostFactsSayVirtual())
            verdict.store(1);
    } catch (...) {
        kestrova::logCaught("amIVirtual");
    }
    return verdict.load();
}

extern "C" int dependency_discover_vm(void) {
    return 0;
}
