// The serial ports of a Linux machine, as udev knows them.
#include <libudev.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstring>

#include "system.h"

namespace rovod {

namespace {

std::string Text(const char *text) { return text ? text : ""; }

std::string Attr(udev_device *device, const char *name) {
    return device ? Text(udev_device_get_sysattr_value(device, name)) : "";
}

}  // namespace

bool ListPorts(nlohmann::json *pPorts, std::string *pError) {
    udev *context = udev_new();
    if (context == nullptr) {
        *pError = "cannot reach udev";
        return false;
    }
    udev_enumerate *list = udev_enumerate_new(context);
    udev_enumerate_add_match_subsystem(list, "tty");
    udev_enumerate_scan_devices(list);
    *pPorts = nlohmann::json::array();
    udev_list_entry *entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(list)) {
        udev_device *tty = udev_device_new_from_syspath(context, udev_list_entry_get_name(entry));
        if (tty == nullptr) continue;
        // Consoles and pseudo-terminals have no device behind them.
        udev_device *parent = udev_device_get_parent(tty);
        const char *node = udev_device_get_devnode(tty);
        if (parent == nullptr || node == nullptr) {
            udev_device_unref(tty);
            continue;
        }
        const dev_t devnum = udev_device_get_devnum(tty);
        nlohmann::json port{{"device", node},
                            {"name", Text(udev_device_get_sysname(tty))},
                            {"devnum", std::to_string(major(devnum)) + ":" + std::to_string(minor(devnum))}};
        // The links as udev's DEVLINKS property lists them: the same on a
        // live udev and on a recorded device tree.
        std::string byId, byPath;
        const std::string links = Text(udev_device_get_property_value(tty, "DEVLINKS"));
        for (size_t at = 0; at < links.size();) {
            const size_t end = std::min(links.find(' ', at), links.size());
            const std::string name = links.substr(at, end - at);
            if (name.rfind("/dev/serial/by-id/", 0) == 0) byId = name;
            if (name.rfind("/dev/serial/by-path/", 0) == 0) byPath = name;
            at = end + 1;
        }
        port["by_id"] = byId;
        port["by_path"] = byPath;
        std::string driver;
        // The serial core's own bus (drivers "port" and "ctrl") sits between
        // a UART and its tty; the driver wanted is the chip's.
        for (udev_device *up = parent; up != nullptr && driver.empty(); up = udev_device_get_parent(up)) {
            driver = Text(udev_device_get_driver(up));
            if (driver == "port" || driver == "ctrl") driver.clear();
        }
        port["driver"] = driver;
        // A legacy UART slot without a chip behind it reports type 0.
        const std::string type = Attr(tty, "type");
        if (!type.empty()) port["uart_type"] = std::atoi(type.c_str());
        udev_device *usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device");
        if (usb != nullptr) {
            port["usb"] = {{"vendor", Attr(usb, "manufacturer")},
                           {"product", Attr(usb, "product")},
                           {"serial", Attr(usb, "serial")},
                           {"vendor_id", Attr(usb, "idVendor")},
                           {"product_id", Attr(usb, "idProduct")}};
        }
        // An FTDI adapter holds received bytes up to latency_timer ms before
        // it hands them on; the attribute sits on its usb-serial device.
        const std::string latency =
            Attr(udev_device_get_parent_with_subsystem_devtype(tty, "usb-serial", nullptr), "latency_timer");
        if (!latency.empty()) port["latency_timer_ms"] = std::atoi(latency.c_str());
        pPorts->push_back(port);
        udev_device_unref(tty);
    }
    udev_enumerate_unref(list);
    udev_unref(context);
    return true;
}

}  // namespace rovod
