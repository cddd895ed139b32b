#pragma once
// Vendor and model names from the system's hardware database, for adapters whose USB
// descriptors say little (a CH340 reports no maker and a generic product string). The
// names are the ones udev shows as ID_VENDOR_FROM_DATABASE / ID_MODEL_FROM_DATABASE.
#include <cstdint>
#include <memory>
#include <string>

class IHardwareNames {
 public:
  virtual ~IHardwareNames() = default;
  // Fills what the database knows for this USB vendor/product pair; false when nothing.
  virtual bool UsbNames(uint16_t vendorId, uint16_t productId, std::string* vendor,
                        std::string* model) const = 0;
};

// The system's database through libudev's hwdb (the compiled hwdb.bin udev itself uses);
// knows nothing where libudev or the database is missing.
std::shared_ptr<IHardwareNames> SystemHardwareNames();
