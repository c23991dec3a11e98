// libusb-win32 (libusb0.dll, 1.2.x) as the module uses it: our own declarations of the library's
// structures and calls.
//
// ABI facts relied on:
// - Every call is cdecl and exported under its plain name (the import library is made from
//   libusb0.def beside this file). The library exports no data: the bus list comes from
//   usb_get_busses().
// - Every structure is packed to 1 byte. Path arrays are 512 bytes (no terminator slot added).
//   On i686: usb_device 556 bytes, usb_bus 532, device descriptor 18, configuration 21,
//   interface descriptor 21, endpoint descriptor 17, usb_interface 8 (checked below).
// - Failures are negative errno-style values; the library never sets errno. A stalled control
//   request comes back as -5 (EIO), not -EPIPE, and a transfer that timed out or was cancelled
//   as -116.
// - usb_reap_async cancels every pending transfer on the context's endpoint (those of other
//   contexts too) when it times out. usb_reap_async_nocancel leaves the transfer pending.
//   usb_cancel_async aborts the endpoint the same way and, in 1.2.6, does not wait for the
//   aborted transfers to end: reap them with usb_reap_async_nocancel before their buffers are
//   reused or freed. usb_free_async does not cancel.
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { LIBUSB_PATH_MAX = 512 };

// Status of a transfer that timed out or was cancelled (ERROR_SEM_TIMEOUT,
// ERROR_OPERATION_ABORTED); neither Linux's nor the C runtime's ETIMEDOUT.
enum { USB_WIN32_ETRANSFER_TIMEDOUT = 116 };

#define USB_ENDPOINT_IN 0x80
#define USB_ENDPOINT_OUT 0x00
#define USB_TYPE_VENDOR (0x02 << 5)
#define USB_RECIP_DEVICE 0x00

#pragma pack(push, 1)

struct usb_endpoint_descriptor {
    unsigned char bLength;
    unsigned char bDescriptorType;
    unsigned char bEndpointAddress;
    unsigned char bmAttributes;
    unsigned short wMaxPacketSize;
    unsigned char bInterval;
    unsigned char bRefresh;
    unsigned char bSynchAddress;
    unsigned char* extra;
    int extralen;
};

struct usb_interface_descriptor {
    unsigned char bLength;
    unsigned char bDescriptorType;
    unsigned char bInterfaceNumber;
    unsigned char bAlternateSetting;
    unsigned char bNumEndpoints;
    unsigned char bInterfaceClass;
    unsigned char bInterfaceSubClass;
    unsigned char bInterfaceProtocol;
    unsigned char iInterface;
    struct usb_endpoint_descriptor* endpoint;
    unsigned char* extra;
    int extralen;
};

struct usb_interface {
    struct usb_interface_descriptor* altsetting;
    int num_altsetting;
};

// The library's member is named `interface`, which the Windows headers define as a macro; the
// layout is what matters, so ours is named interfaces.
struct usb_config_descriptor {
    unsigned char bLength;
    unsigned char bDescriptorType;
    unsigned short wTotalLength;
    unsigned char bNumInterfaces;
    unsigned char bConfigurationValue;
    unsigned char iConfiguration;
    unsigned char bmAttributes;
    unsigned char MaxPower;
    struct usb_interface* interfaces;
    unsigned char* extra;
    int extralen;
};

struct usb_device_descriptor {
    unsigned char bLength;
    unsigned char bDescriptorType;
    unsigned short bcdUSB;
    unsigned char bDeviceClass;
    unsigned char bDeviceSubClass;
    unsigned char bDeviceProtocol;
    unsigned char bMaxPacketSize0;
    unsigned short idVendor;
    unsigned short idProduct;
    unsigned short bcdDevice;
    unsigned char iManufacturer;
    unsigned char iProduct;
    unsigned char iSerialNumber;
    unsigned char bNumConfigurations;
};

struct usb_bus;

struct usb_device {
    struct usb_device* next;
    struct usb_device* prev;
    char filename[LIBUSB_PATH_MAX];
    struct usb_bus* bus;
    struct usb_device_descriptor descriptor;
    struct usb_config_descriptor* config;
    void* dev;
    unsigned char devnum;
    unsigned char num_children;
    struct usb_device** children;
};

struct usb_bus {
    struct usb_bus* next;
    struct usb_bus* prev;
    char dirname[LIBUSB_PATH_MAX];
    struct usb_device* devices;
    unsigned long location;
    struct usb_device* root_dev;
};

#pragma pack(pop)

struct usb_dev_handle;
typedef struct usb_dev_handle usb_dev_handle;

#if defined(__i386__) || defined(_M_IX86)
#define USB_WIN32_CHECK(c, m) static_assert(c, m)
USB_WIN32_CHECK(sizeof(struct usb_device) == 556, "usb_device is 556 bytes");
USB_WIN32_CHECK(offsetof(struct usb_device, bus) == 520, "usb_device.bus at 520");
USB_WIN32_CHECK(offsetof(struct usb_device, descriptor) == 524, "descriptor at 524");
USB_WIN32_CHECK(offsetof(struct usb_device, config) == 542, "config at 542");
USB_WIN32_CHECK(offsetof(struct usb_device, devnum) == 550, "devnum at 550");
USB_WIN32_CHECK(offsetof(struct usb_device, children) == 552, "children at 552");
USB_WIN32_CHECK(sizeof(struct usb_bus) == 532, "usb_bus is 532 bytes");
USB_WIN32_CHECK(offsetof(struct usb_bus, devices) == 520, "usb_bus.devices at 520");
USB_WIN32_CHECK(offsetof(struct usb_bus, location) == 524, "usb_bus.location at 524");
USB_WIN32_CHECK(offsetof(struct usb_bus, root_dev) == 528, "usb_bus.root_dev at 528");
USB_WIN32_CHECK(sizeof(struct usb_device_descriptor) == 18, "device descriptor is 18 bytes");
USB_WIN32_CHECK(offsetof(struct usb_device_descriptor, idVendor) == 8, "idVendor at 8");
USB_WIN32_CHECK(offsetof(struct usb_device_descriptor, bcdDevice) == 12, "bcdDevice at 12");
USB_WIN32_CHECK(sizeof(struct usb_config_descriptor) == 21, "configuration is 21 bytes");
USB_WIN32_CHECK(offsetof(struct usb_config_descriptor, interfaces) == 9, "interface at 9");
USB_WIN32_CHECK(sizeof(struct usb_interface_descriptor) == 21, "interface descriptor is 21");
USB_WIN32_CHECK(sizeof(struct usb_endpoint_descriptor) == 17, "endpoint descriptor is 17");
USB_WIN32_CHECK(offsetof(struct usb_endpoint_descriptor, extra) == 9, "endpoint extra at 9");
USB_WIN32_CHECK(sizeof(struct usb_interface) == 8, "usb_interface is 8 bytes");
#undef USB_WIN32_CHECK
#endif

// All cdecl, as the library is built.
#define USB_WIN32_CALL __cdecl

void USB_WIN32_CALL usb_init(void);
void USB_WIN32_CALL usb_set_debug(int level);
int USB_WIN32_CALL usb_find_busses(void);
int USB_WIN32_CALL usb_find_devices(void);
struct usb_bus* USB_WIN32_CALL usb_get_busses(void);
// The library has no exported bus-list variable; its header spells usb_busses as this call.
#define usb_busses usb_get_busses()

usb_dev_handle* USB_WIN32_CALL usb_open(struct usb_device* dev);
int USB_WIN32_CALL usb_close(usb_dev_handle* dev);
struct usb_device* USB_WIN32_CALL usb_device(usb_dev_handle* dev);
int USB_WIN32_CALL usb_set_configuration(usb_dev_handle* dev, int configuration);
int USB_WIN32_CALL usb_claim_interface(usb_dev_handle* dev, int interface_number);
int USB_WIN32_CALL usb_release_interface(usb_dev_handle* dev, int interface_number);
int USB_WIN32_CALL usb_set_altinterface(usb_dev_handle* dev, int alternate);
int USB_WIN32_CALL usb_control_msg(usb_dev_handle* dev, int requesttype, int request, int value,
                                   int index, char* bytes, int size, int timeout);
int USB_WIN32_CALL usb_bulk_read(usb_dev_handle* dev, int ep, char* bytes, int size, int timeout);
int USB_WIN32_CALL usb_bulk_write(usb_dev_handle* dev, int ep, char* bytes, int size, int timeout);
int USB_WIN32_CALL usb_clear_halt(usb_dev_handle* dev, unsigned int ep);
int USB_WIN32_CALL usb_resetep(usb_dev_handle* dev, unsigned int ep);
char* USB_WIN32_CALL usb_strerror(void);

// Asynchronous transfers. Bit 0x80 of ep selects IN.
int USB_WIN32_CALL usb_bulk_setup_async(usb_dev_handle* dev, void** context, unsigned char ep);
int USB_WIN32_CALL usb_submit_async(void* context, char* bytes, int size);
int USB_WIN32_CALL usb_reap_async(void* context, int timeout);
int USB_WIN32_CALL usb_reap_async_nocancel(void* context, int timeout);
int USB_WIN32_CALL usb_cancel_async(void* context);
int USB_WIN32_CALL usb_free_async(void** context);

#ifdef __cplusplus
}
#endif
