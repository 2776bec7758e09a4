#include "mockbed.h"

#include <umockdev.h>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace mockbed {

Testbed::Testbed() : bed(umockdev_testbed_new()) {}

Testbed::~Testbed()
{
    g_object_unref(bed);
}

std::string Testbed::describe(const Device &device, int socket, int number)
{
    const std::string port = std::to_string(socket);
    const std::string usb = "/devices/pci0000:00/0000:00:14.0/usb1/1-" + port;
    std::string devnum = std::to_string(number);
    devnum.insert(0, devnum.size() < 3 ? 3 - devnum.size() : 0, '0');
    const std::string busNode = "bus/usb/001/" + devnum;
    // A device without a serial number has neither the property nor the attribute.
    const std::string serialProperty =
        device.serial.empty() ? "" : "E: ID_SERIAL_SHORT=" + device.serial + "\n";
    const std::string serialAttribute =
        device.serial.empty() ? "" : "A: serial=" + device.serial + "\n";
    const std::string properties = "E: ID_VENDOR=" + device.vendor + "\n" +
                                   "E: ID_VENDOR_ID=0b00\nE: ID_MODEL_ID=0061\n" + serialProperty;
    return "P: " + usb + "\n" + "N: " + busNode + "\n" + "E: DEVNAME=/dev/" + busNode + "\n" +
           "E: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\n" + properties +
           "E: ID_MODEL=Terminal\nA: idVendor=0b00\nA: idProduct=0061\n" +
           "A: busnum=1\nA: devnum=" + std::to_string(number) + "\n" +
           "A: manufacturer=" + device.vendor + "\nA: product=Terminal\n" + serialAttribute +
           "\n" + "P: " + usb + "/1-" +
           port + ":1.0\n" + "E: DEVTYPE=usb_interface\nE: DRIVER=cdc_acm\nE: SUBSYSTEM=usb\n" +
           "L: driver=../../../../../bus/usb/drivers/cdc_acm\n\n" + "P: " + usb + "/1-" + port +
           ":1.0/tty/" + device.name + "\n" + "N: " + device.name + "\n" + "E: DEVNAME=/dev/" +
           device.name + "\nE: SUBSYSTEM=tty\n" + properties + "E: ID_MODEL=" + device.model +
           "\nE: ID_BUS=usb\nE: ID_USB_DRIVER=cdc_acm\n";
}

bool Testbed::add(const Device &device)
{
    // Every socket from nextSocket on is free: a fixed one moves it past itself.
    const int socket = device.socket > 0 ? device.socket : nextSocket;
    for (const Entry &entry : entries) {
        if (entry.socket == socket) {
            std::fprintf(stderr, "mockbed: USB socket 1-%d already holds %s\n", socket,
                         entry.name.c_str());
            return false;
        }
    }
    nextSocket = std::max(nextSocket, socket + 1);
    const int number = nextNumber++;
    GError *error = nullptr;
    if (!umockdev_testbed_add_from_string(bed, describe(device, socket, number).c_str(), &error)) {
        std::fprintf(stderr, "umockdev: %s\n", error ? error->message : "unknown error");
        g_clear_error(&error);
        return false;
    }
    const std::string port = std::to_string(socket);
    const std::string usb = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-" + port;
    const std::string interface = usb + "/1-" + port + ":1.0";
    entries.push_back({device.name, socket, {usb, interface, interface + "/tty/" + device.name}});
    return true;
}

void Testbed::remove(const std::string &name)
{
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (it->name == name) {
            for (auto path = it->sysPaths.rbegin(); path != it->sysPaths.rend(); ++path)
                umockdev_testbed_remove_device(bed, path->c_str());
            // umockdev leaves the node under /dev (a link to the pty): gone with the device,
            // so that an open by name fails.
            ::unlink((root() + "/dev/" + name).c_str());
            entries.erase(it);
            return;
        }
    }
}

int Testbed::masterFd(const std::string &name)
{
    return umockdev_testbed_get_dev_fd(bed, ("/dev/" + name).c_str());
}

std::string Testbed::sysPath(const std::string &name) const
{
    for (const Entry &entry : entries)
        if (entry.name == name)
            return entry.sysPaths.back();
    return std::string();
}

std::string Testbed::root() const
{
    gchar *dir = umockdev_testbed_get_root_dir(bed);
    std::string result = dir ? dir : "";
    g_free(dir);
    return result;
}

} // namespace mockbed
