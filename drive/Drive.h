// A drive: where the manager has it, what it said of itself, how it is
// attached. Its identity is read once, from INQUIRY, into one type; every
// other place asks it for the part it needs (the model an image must name,
// the drive list's entry, the record's fields, a terminal's words), never
// cuts the bytes again.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Where the manager has a drive: host adapter and target, "A:T".
struct DriveAddress {
    uint8_t adapter = 0;
    uint8_t target = 0;
    bool operator==(const DriveAddress &) const = default;
};
// "A:T".
std::string AddressText(DriveAddress address);

// What a drive said of itself: INQUIRY's vendor, product and revision, as it
// sent them, one byte one character.
struct DriveIdentity {
    static constexpr size_t kVendorLength = 8;
    static constexpr size_t kProductLength = 16;
    static constexpr size_t kRevisionLength = 4;
    static constexpr size_t kLength = kVendorLength + kProductLength + kRevisionLength;  // 28

    std::string vendor;    // 8 bytes
    std::string product;   // 16 bytes
    std::string revision;  // 4 bytes

    // The 28 bytes of INQUIRY's answer from its byte 8 (or of the drive
    // list's entry) up to the first zero, padded with blanks: a zero inside
    // them would otherwise make every later field start early.
    static DriveIdentity FromBytes(std::string_view bytes);
    // Vendor and product, 24 bytes: the model an image names (ModelMatches).
    std::string Model() const { return vendor + product; }
    // The 28 bytes the drive list shows.
    std::string Entry() const { return Model() + revision; }
    bool operator==(const DriveIdentity &) const = default;
};

// How a drive is attached, as its manager tells it (GetASPI32DeviceTransport).
enum class DriveTransport { Unknown, Usb, Ata, Scsi, Virtual };

struct Drive {
    DriveAddress address;
    DriveIdentity identity;
    DriveTransport transport = DriveTransport::Unknown;
};

// A field of a drive or of an image (a model, a version) as the record keeps
// it: up to a zero byte, trailing blanks cut, the bytes as they are.
std::string FieldText(std::string_view bytes);
// The same as a terminal may show it: each byte outside printable ASCII as
// '?'.
std::string Printable(std::string_view bytes);
