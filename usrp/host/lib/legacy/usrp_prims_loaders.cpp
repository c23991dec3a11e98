// USRP primitives: the two image loaders (Intel HEX firmware into the controller's internal RAM,
// FPGA bitstream through the configuration request) and the internal RAM writer.
//
// Image files come from outside: every field of a HEX line is checked before it is used, and a
// line that is short, carries something other than hexadecimal digits where digits are due, or
// would write past the end of the 16-bit address space is refused as an invalid line.
#include "usrp_prims.h"
#include "os.h"

#include <cstdio>
#include <cstring>

namespace {

// The codec registers every FPGA configuration attempt leaves behind (register, value pairs).
const unsigned char codec_after_config[] = {0x01, 0x01, 0x08, 0x0F, 0x14, 0x00};

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The byte written as two hexadecimal digits at pos, or -1 when the line ends before them or
// they are not both digits.
int hex_byte(const char* line, size_t length, size_t pos) {
    if (pos + 2 > length)
        return -1;
    int hi = hex_digit(line[pos]);
    int lo = hex_digit(line[pos + 1]);
    if (hi < 0 || lo < 0)
        return -1;
    return (hi << 4) | lo;
}

enum hex_result { HEX_NEXT, HEX_END, HEX_FAILED };

void invalid_line(const char* path, const char* line) {
    os::diag_printf("%s: invalid line: \"%s\"\n", path, line);
}

// One line of the file: checks it and, for a data record, writes its bytes.
hex_result hex_record(usb_dev_handle* udh, const char* path, const char* line) {
    size_t length = std::strlen(line);
    if (line[0] != ':') {
        invalid_line(path, line);
        return HEX_FAILED;
    }
    int count = hex_byte(line, length, 1);
    int addr_hi = hex_byte(line, length, 3);
    int addr_lo = hex_byte(line, length, 5);
    int type = hex_byte(line, length, 7);
    if (count < 0 || addr_hi < 0 || addr_lo < 0 || type < 0) {
        invalid_line(path, line);
        return HEX_FAILED;
    }
    int address = (addr_hi << 8) | addr_lo;

    switch (type) {
        case 0x00: {
            if (address + count > 0x10000) {
                invalid_line(path, line);
                return HEX_FAILED;
            }
            unsigned char record[256];
            unsigned sum = count + addr_hi + addr_lo;
            for (int i = 0; i < count; ++i) {
                int b = hex_byte(line, length, 9 + 2 * size_t(i));
                if (b < 0) {
                    invalid_line(path, line);
                    return HEX_FAILED;
                }
                record[i] = static_cast<unsigned char>(b);
                sum += b;
            }
            int checksum = hex_byte(line, length, 9 + 2 * size_t(count));
            if (checksum < 0) {
                invalid_line(path, line);
                return HEX_FAILED;
            }
            if (((sum + checksum) & 0xFF) != 0) {
                os::diag_printf("  ** Checksum failed: got 0x%02x versus 0x%02x\n",
                                (256 - sum % 256) % 256, checksum);
                return HEX_FAILED;
            }
            return write_internal_ram(udh, address, record, count) ? HEX_NEXT : HEX_FAILED;
        }
        case 0x01: return HEX_END;
        case 0x02:
            os::diag_printf("Extended address: whatever I do with it?\n");
            invalid_line(path, line);
            return HEX_FAILED;
        default: return HEX_NEXT;  // other record types carry nothing for this board
    }
}

}  // namespace

bool write_internal_ram(usb_dev_handle* udh, int address, const unsigned char* bytes, int length) {
    for (int offset = 0; offset < length; offset += RAM_CHUNK) {
        int n = length - offset < RAM_CHUNK ? length - offset : RAM_CHUNK;
        char chunk[RAM_CHUNK];
        std::memcpy(chunk, bytes + offset, n);
        int r =
            usrp_control_msg(udh, VRT_VENDOR_OUT, REQ_RAM_ACCESS, address + offset, 0, chunk, n);
        if (r < 0) {
            if (usrp_abandoned())
                return false;
            os::diag_printf("write_internal_ram failed: %s\n", usb_strerror());
            return false;
        }
    }
    return true;
}

bool load_firmware_image(usb_dev_handle* udh, const char* path,
                         const unsigned char digest[USRP_HASH_BYTES]) {
    FILE* f = std::fopen(path, "r");
    if (!f) {
        os::diag_perror(path);
        return false;
    }

    const unsigned char hold = 1;
    if (!write_internal_ram(udh, CPU_CONTROL_ADDRESS, &hold, 1)) {
        std::fclose(f);
        return false;
    }

    char line[HEX_LINE_MAX];
    while (std::fgets(line, sizeof line, f)) {
        hex_result r = hex_record(udh, path, line);
        if (r == HEX_FAILED) {
            std::fclose(f);
            return false;
        }
        if (r == HEX_END)
            break;
    }

    // Recorded while the CPU is still held, so the running firmware finds its own digest.
    if (!usrp_store_hash(udh, FIRMWARE_HASH_SLOT, digest))
        os::diag_printf("usrp: failed to write firmware hash slot\n");

    const unsigned char run = 0;
    bool ok = write_internal_ram(udh, CPU_CONTROL_ADDRESS, &run, 1);
    std::fclose(f);
    return ok;
}

bool load_fpga_image(usb_dev_handle* udh, const char* path,
                     const unsigned char digest[USRP_HASH_BYTES]) {
    FILE* f = std::fopen(path, "rb");
    if (!f) {
        os::diag_perror(path);
        return false;
    }
    struct usb_device* dev = usb_device(udh);
    int revision = dev ? usrp_board_revision(dev) : 0;

    usrp_set_indicator(udh, true);
    usrp_assert_fpga_reset(udh, true);

    bool ok = usrp_vendor_request(udh, REQ_FPGA_CONFIG, 0, CONFIG_BEGIN, nullptr, 0) == 0;
    if (ok) {
        unsigned char piece[CONFIG_CHUNK];
        size_t n;
        while ((n = std::fread(piece, 1, sizeof piece, f)) > 0) {
            int length = static_cast<int>(n);
            if (usrp_vendor_request(udh, REQ_FPGA_CONFIG, 0, CONFIG_DATA, piece, length) !=
                length) {
                ok = false;
                break;
            }
        }
    }
    if (ok)
        ok = usrp_vendor_request(udh, REQ_FPGA_CONFIG, 0, CONFIG_END, nullptr, 0) == 0;

    if (!ok) {
        // The FPGA stays in reset and the indicator on; the codecs still get their settings.
        if (revision != 0)
            usrp_codec_write_list_both(udh, codec_after_config, sizeof codec_after_config);
        std::fclose(f);
        return false;
    }

    std::fclose(f);
    if (!usrp_store_hash(udh, FPGA_HASH_SLOT, digest))
        os::diag_printf("usrp: failed to write fpga hash slot\n");

    if (!usrp_assert_fpga_reset(udh, false)) {
        // Held in reset the FPGA never streams, and with its digest already in the slot every
        // later start would skip the load: clear the slot so that the next start loads again.
        static const unsigned char no_digest[USRP_HASH_BYTES] = {};
        usrp_store_hash(udh, FPGA_HASH_SLOT, no_digest);
        os::diag_printf("usrp: failed to release the fpga reset\n");
        return false;
    }

    bool paths_ok = true;
    paths_ok &= usrp_tx_path_enable(udh, false);
    paths_ok &= usrp_rx_path_enable(udh, false);
    paths_ok &= usrp_tx_path_reset(udh, true);
    paths_ok &= usrp_rx_path_reset(udh, true);
    paths_ok &= usrp_tx_path_reset(udh, false);
    paths_ok &= usrp_rx_path_reset(udh, false);
    if (!paths_ok)
        os::diag_printf("usrp: failed to reset tx and/or rx path\n");

    for (int reg = 0; reg < 64; ++reg) {
        if (reg != 4)
            usrp_fpga_reg_write(udh, reg, 0);
    }

    if (revision != 0)
        usrp_codec_write_list_both(udh, codec_after_config, sizeof codec_after_config);

    usrp_set_indicator(udh, false);
    return true;
}
