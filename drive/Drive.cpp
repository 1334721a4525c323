#include "drive/Drive.h"

std::string AddressText(DriveAddress address) {
    return std::to_string(address.adapter) + ":" + std::to_string(address.target);
}

DriveIdentity DriveIdentity::FromBytes(std::string_view bytes) {
    std::string text(bytes.substr(0, std::min(bytes.size(), kLength)));
    if (const size_t zero = text.find('\0'); zero != std::string::npos) text.resize(zero);
    text.resize(kLength, ' ');
    DriveIdentity identity;
    identity.vendor = text.substr(0, kVendorLength);
    identity.product = text.substr(kVendorLength, kProductLength);
    identity.revision = text.substr(kVendorLength + kProductLength, kRevisionLength);
    return identity;
}

std::string FieldText(std::string_view bytes) {
    std::string text(bytes.substr(0, bytes.find('\0')));
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

std::string Printable(std::string_view bytes) {
    std::string text = FieldText(bytes);
    for (char &c : text)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
    return text;
}
