// A virtual board device with one or more boards, board handles opened
// through the library, and the file-I/O service started for each.
#pragma once

#include "board/virtual_board_fixture.h"
#include "scratch_directory.h"
#include "support/request_agent.h"

#include <memory>

namespace hbtest {

class ServiceFixture : public hb::test::VirtualBoardTest {
  protected:
    void SetUp() override { addBoard(0, {}); }
    void TearDown() override {
        for (AcceleratorBoard* handle : boards_)
            hbFileIoShutdown(handle);
        VirtualBoardTest::TearDown();
        hb_FileIoUseCustomerMemory(0);
    }

    // Adds virtual board `index`, opens it and starts its service.
    void addBoard(int index, const hb::vboard::BoardConfig& config) {
        // Untraced: a mapped host's shared-memory requests stay copies.
        device_->addBoard(index, config).setTracing(false);
        handles_[index] = open(index);
        ASSERT_EQ(hbFileIoStartup(handles_[index]), 0u);
        agents_[index] = std::make_unique<hbtest::RequestAgent>(virtualBoard(index));
    }

    AcceleratorBoard* board(int index = 0) { return handles_[index]; }
    hb::vboard::Board& virtualBoard(int index = 0) { return VirtualBoardTest::board(index); }
    hbtest::RequestAgent& agent(int index = 0) { return *agents_[index]; }

    ScratchDirectory files_;

  private:
    AcceleratorBoard* handles_[HB_MAX_BOARDS] = {};
    std::unique_ptr<hbtest::RequestAgent> agents_[HB_MAX_BOARDS];
};

} // namespace hbtest
