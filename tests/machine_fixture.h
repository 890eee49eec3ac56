// A powered-up machine with no cartridge, freed after each test.
#pragma once
#include <gtest/gtest.h>

#include "apu/apu.h"
#include "cart/cartridge.h"
#include "core/bus.h"
#include "core/machine.h"
#include "core/power.h"
#include "tests/test_support.h"

class PoweredMachine : public ::testing::Test {
protected:
    void SetUp() override {
        reset_machine_globals();
        power_up();
        apu_reset();  // the sound records as a reset leaves them
    }
    void TearDown() override { shut_down(); }

    static void write(uint32_t address, uint8_t value) { bus_write(value, address); }
    static uint8_t read(uint32_t address) { return uint8_t(bus_read(address)); }
    static void set_address(uint16_t a) {
        write(0x2006, uint8_t(a >> 8));
        write(0x2006, uint8_t(a));
    }
    // Loads a built image through a temporary file.
    static bool load_image(const std::vector<uint8_t>& image, const char* name = "cart.nes") {
        return load_file(write_temp_file(name, image));
    }
};
