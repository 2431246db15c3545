// Lists of the display adapters: the system's own, and the PCI display
// devices read from plain files, which is how the Linux build lists them.
#pragma once

#include <string>
#include <vector>

// Appends a description of every display adapter, in the system's order.
// False when the system offers no way to list them.
bool ListDisplayAdapters(std::vector<std::string>& list);

// Appends a description of every PCI display-class device (class 0x03xxxx)
// found under deviceRoot, in bus order, named from the first readable PCI ID
// database of idDatabases, else by numeric ids. False when deviceRoot cannot be
// listed. Plain file reading: the Linux build lists its adapters with it.
bool ListPciDisplayDevices(const std::string& deviceRoot,
                           const std::vector<std::string>& idDatabases,
                           std::vector<std::string>& list);
