// velko::LocationDirectory: the locations this process serves, by facility and device.
#pragma once

#include <string>
#include <vector>

class EqFct;

namespace velko {

// Process-wide and safe to use from any thread. The server fills it when it starts; tests may fill
// it too. Locations added here are never deleted: a retired device's locations are no longer found
// by address but stay reachable until the process ends.
class LocationDirectory {
  public:
    // Serves loc as FACILITY/DEVICE/<loc->name()>. Returns 0, or 1 when that address is taken,
    // loc is null or a part is empty or holds white space or '/'. With open false the address is
    // taken but not found by calls until open() (a server starting its locations).
    static int add(const std::string& facility, const std::string& device, EqFct* loc, bool open = true);
    // Lets calls find the locations of facility/device added with open false.
    static void open(const std::string& facility, const std::string& device);
    // The location served at facility/device/location, or null.
    static EqFct* find(const std::string& facility, const std::string& device, const std::string& location);
    // True when at least one location of facility/device is served or about to be.
    static bool serves(const std::string& facility, const std::string& device);
    // The locations of facility/device in the order they were added.
    static std::vector<EqFct*> locations(const std::string& facility, const std::string& device);
    // Stops serving facility/device; its locations stay reachable.
    static void retire(const std::string& facility, const std::string& device);
    // Keeps loc reachable without serving it (a location whose server failed to start).
    static void keep(EqFct* loc);
};

}  // namespace velko
