// Fuzzes the address text: every text either parses into parts that print back as an address
// that parses to the same parts, or is refused and leaves the address empty. Parts set one by one
// print as an address that parses back exactly when no part holds '/', white space or a control
// character.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "eq_adr.h"

namespace {

void check(bool ok) {
    if (!ok) {
        abort();
    }
}

bool clean_part(const std::string& part) {
    for (char c : part) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7f || c == '/') {
            return false;
        }
    }
    return true;
}

bool same_parts(const velko::EqAdr& a, const velko::EqAdr& b) {
    return std::string(a.facility()) == b.facility() && std::string(a.device()) == b.device() &&
           std::string(a.location()) == b.location() && std::string(a.property()) == b.property();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    // The whole input as an address text.
    velko::EqAdr adr;
    if (adr.adr(text) == 0) {
        const std::string shown = adr.show_adr();
        check(shown.size() >= text.size());
        check(shown.compare(0, text.size(), text) == 0);  // missing trailing parts only add '/'
        velko::EqAdr again;
        check(again.adr(shown) == 0 && same_parts(adr, again) && again.show_adr() == shown);
    } else {
        check(std::string(adr.facility()).empty() && std::string(adr.device()).empty() &&
              std::string(adr.location()).empty() && std::string(adr.property()).empty());
    }

    // The input cut into four parts at NUL bytes, set part by part.
    std::string parts[4];
    size_t n = 0;
    for (char c : text) {
        if (c == '\0' && n < 3) {
            n++;
        } else {
            parts[n] += c;
        }
    }
    velko::EqAdr built;
    built.set(parts[0].c_str(), parts[2].c_str(), parts[1].c_str(), parts[3].c_str());
    built.set_location(parts[2].c_str());
    check(std::string(built.device()) == parts[1].c_str() && std::string(built.location()) == parts[2].c_str());
    bool clean = true;
    for (const std::string& p : parts) {
        clean = clean && clean_part(std::string(p.c_str()));
    }
    velko::EqAdr parsed;
    const std::string shown = built.show_adr();
    const bool accepted = parsed.adr(shown) == 0;
    if (clean) {
        check(accepted && same_parts(built, parsed));
    } else if (accepted) {
        check(!same_parts(built, parsed));  // a '/' in a part moves the parts along
    }
    return 0;
}
