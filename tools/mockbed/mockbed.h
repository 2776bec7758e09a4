#pragma once

// A sysfs/udev testbed (umockdev) with mocked USB serial devices backed by ptys. Once a Testbed
// exists, this process (run with libumockdev-preload) sees only the mocked devices: Qt's
// QSerialPortInfo lists them with their manufacturer and description, and opening /dev/NAME
// opens the slave side of a pty whose master side masterFd() returns.
//
// This header is free of Qt on purpose: umockdev's GLib headers clash with Qt's keywords.

#include <string>
#include <utility>
#include <vector>

struct _UMockdevTestbed;

namespace mockbed {

struct Device
{
    Device() = default;
    Device(std::string name_, std::string vendor_, std::string model_, std::string serial_ = {})
        : name(std::move(name_)), vendor(std::move(vendor_)), model(std::move(model_)),
          serial(std::move(serial_))
    {}

    std::string name = "ttyACM0";       // system name under /dev
    std::string vendor = "Tarvenix";    // ID_VENDOR: Qt's manufacturer ('_' shows as ' ')
    std::string model = "Terminal_USB"; // ID_MODEL: Qt's description ('_' shows as ' ')
    std::string serial;                 // ID_SERIAL_SHORT and the USB serial: Qt's serialNumber
    // The USB socket: port `socket` of bus 1's root hub, the USB device "1-<socket>". 0: one
    // that no device of the testbed has used yet.
    int socket = 0;
};

class Testbed
{
public:
    Testbed();
    ~Testbed();
    Testbed(const Testbed &) = delete;
    Testbed &operator=(const Testbed &) = delete;

    // Adds a USB device with one tty interface, in its socket, with a device number of its
    // own on the bus (as the kernel numbers a device each time it is plugged in). Returns false
    // when umockdev refuses it, or when another device of the testbed is in that socket.
    bool add(const Device &device);
    // Removes a device added before (as if it were unplugged): from the listing and from
    // /dev. A program that holds its port open keeps it (umockdev keeps the pty), but hears
    // nothing more. umockdev refuses a name it has given before: add it again under another.
    void remove(const std::string &name);
    // Master side of the pty behind /dev/NAME, or -1. Owned by the testbed.
    int masterFd(const std::string &name);
    // The tty's device path under /sys, or "" for a name that was never added.
    std::string sysPath(const std::string &name) const;
    // The directory that UMOCKDEV_DIR names.
    std::string root() const;

    // The umockdev description of a device in USB socket 1-`socket`, device number `number` on
    // bus 1.
    static std::string describe(const Device &device, int socket, int number);

private:
    struct Entry
    {
        std::string name;
        int socket;
        std::vector<std::string> sysPaths; // device, interface, tty: removed in reverse
    };
    _UMockdevTestbed *bed;
    std::vector<Entry> entries;
    int nextSocket = 2;  // port 1 is left free, as on many PCs
    int nextNumber = 2;  // device 1 of a bus is its root hub
};

} // namespace mockbed
