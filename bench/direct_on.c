/* The driver calls of one `relayctl on 3`, made by the smallest C program
 * that can make them: the yardstick relayctl's whole run is measured against.
 * The library is found by name as relayctl finds it; the board is the only
 * one attached. */
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

typedef uint32_t Status;
typedef void* Handle;

int main(void)
{
    void* library = dlopen("libftd2xx.so", RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
        fprintf(stderr, "direct_on: %s\n", dlerror());
        return 1;
    }
    Status (*createList)(uint32_t*) = (Status(*)(uint32_t*))dlsym(library, "FT_CreateDeviceInfoList");
    Status (*detail)(uint32_t, uint32_t*, uint32_t*, uint32_t*, uint32_t*, void*, void*, Handle*) =
        (Status(*)(uint32_t, uint32_t*, uint32_t*, uint32_t*, uint32_t*, void*, void*, Handle*))dlsym(
            library, "FT_GetDeviceInfoDetail");
    Status (*openEx)(void*, uint32_t, Handle*) = (Status(*)(void*, uint32_t, Handle*))dlsym(library, "FT_OpenEx");
    Status (*setBaudRate)(Handle, uint32_t) = (Status(*)(Handle, uint32_t))dlsym(library, "FT_SetBaudRate");
    Status (*setBitMode)(Handle, uint8_t, uint8_t) =
        (Status(*)(Handle, uint8_t, uint8_t))dlsym(library, "FT_SetBitMode");
    Status (*getBitMode)(Handle, uint8_t*) = (Status(*)(Handle, uint8_t*))dlsym(library, "FT_GetBitMode");
    Status (*ftWrite)(Handle, void*, uint32_t, uint32_t*) =
        (Status(*)(Handle, void*, uint32_t, uint32_t*))dlsym(library, "FT_Write");
    Status (*ftClose)(Handle) = (Status(*)(Handle))dlsym(library, "FT_Close");
    if (!createList || !detail || !openEx || !setBaudRate || !setBitMode || !getBitMode || !ftWrite || !ftClose) {
        fprintf(stderr, "direct_on: a driver function is missing\n");
        return 1;
    }

    uint32_t count = 0, flags = 0, type = 0, id = 0, location = 0, written = 0;
    char serial[16] = {0}, description[64] = {0};
    Handle handle = NULL;
    uint8_t lines = 0;
    if (createList(&count) != 0 || count != 1 ||
        detail(0, &flags, &type, &id, &location, serial, description, &handle) != 0 ||
        openEx(serial, 1, &handle) != 0 || setBaudRate(handle, 300) != 0 || setBitMode(handle, 0xFF, 1) != 0 ||
        getBitMode(handle, &lines) != 0) {
        fprintf(stderr, "direct_on: the board refused a step\n");
        return 1;
    }
    lines |= 0x04;
    if (ftWrite(handle, &lines, 1, &written) != 0 || written != 1 || ftClose(handle) != 0) {
        fprintf(stderr, "direct_on: the board refused the write or the close\n");
        return 1;
    }
    printf("relays on:");
    for (int relay = 1; relay <= 8; ++relay) {
        if (lines & (1u << (relay - 1))) {
            printf(" %d", relay);
        }
    }
    printf("\n");
    return 0;
}
