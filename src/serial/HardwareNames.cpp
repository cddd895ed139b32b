#include "serial/HardwareNames.h"

#include <cstdio>
#include <cstring>

#ifdef BREVANT_HAVE_LIBUDEV
#include <libudev.h>
#endif

namespace {

#ifdef BREVANT_HAVE_LIBUDEV
class CUdevHardwareNames : public IHardwareNames {
 public:
  CUdevHardwareNames() {
    m_udev = udev_new();
    if (m_udev) m_hwdb = udev_hwdb_new(m_udev);
  }
  ~CUdevHardwareNames() override {
    if (m_hwdb) udev_hwdb_unref(m_hwdb);
    if (m_udev) udev_unref(m_udev);
  }
  bool UsbNames(uint16_t vendorId, uint16_t productId, std::string* vendor,
                std::string* model) const override {
    if (!m_hwdb) return false;
    // The same key udev's hwdb builtin asks for a USB device.
    char modalias[64];
    std::snprintf(modalias, sizeof modalias, "usb:v%04Xp%04X*", vendorId, productId);
    bool found = false;
    udev_list_entry* entry = udev_hwdb_get_properties_list_entry(m_hwdb, modalias, 0);
    for (; entry; entry = udev_list_entry_get_next(entry)) {
      const char* name = udev_list_entry_get_name(entry);
      const char* value = udev_list_entry_get_value(entry);
      if (!name || !value) continue;
      if (std::strcmp(name, "ID_VENDOR_FROM_DATABASE") == 0) {
        *vendor = value;
        found = true;
      } else if (std::strcmp(name, "ID_MODEL_FROM_DATABASE") == 0) {
        *model = value;
        found = true;
      }
    }
    return found;
  }

 private:
  udev* m_udev = nullptr;
  udev_hwdb* m_hwdb = nullptr;
};
#endif

class CNoHardwareNames : public IHardwareNames {
 public:
  bool UsbNames(uint16_t, uint16_t, std::string*, std::string*) const override { return false; }
};

}  // namespace

std::shared_ptr<IHardwareNames> SystemHardwareNames() {
#ifdef BREVANT_HAVE_LIBUDEV
  return std::make_shared<CUdevHardwareNames>();
#else
  return std::make_shared<CNoHardwareNames>();
#endif
}
