// A virtual board device with one or more boards, board handles opened
// through the library, and the file-I/O service started for each.
#pragma once

#include "hbsys9u.h"
#include "scratch_directory.h"
#include "support/request_agent.h"
#include "vboard/board.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace hbtest {

class ServiceFixture : public ::testing::Test {
  protected:
    void SetUp() override { addBoard(0, {}); }
    void TearDown() override {
        for (int i = 0; i < HB_MAX_BOARDS; ++i) {
            if (boards_[i] != nullptr) {
                hbFileIoShutdown(boards_[i]);
                hbAcceleratorBoardDestroy(boards_[i]);
            }
        }
        hb_FileIoUseCustomerMemory(0);
    }

    // Adds virtual board `index`, opens it and starts its service.
    void addBoard(int index, const hb::vboard::BoardConfig& config) {
        virtualBoards_[index] = &device_->addBoard(index, config);
        // Untraced: a mapped host's shared-memory requests stay copies.
        virtualBoards_[index]->setTracing(false);
        boards_[index] = hbAcceleratorBoardCreate(device_->basePath().c_str(), index, 0);
        ASSERT_NE(boards_[index], nullptr);
        ASSERT_EQ(hbFileIoStartup(boards_[index]), 0u);
        agents_[index] = std::make_unique<hbtest::RequestAgent>(*virtualBoards_[index]);
    }

    AcceleratorBoard* board(int index = 0) { return boards_[index]; }
    hb::vboard::Board& virtualBoard(int index = 0) { return *virtualBoards_[index]; }
    hbtest::RequestAgent& agent(int index = 0) { return *agents_[index]; }
    const std::string& deviceBase() const { return device_->basePath(); }
    hb::vboard::Device& device() { return *device_; }

    ScratchDirectory files_;

  private:
    ScratchDirectory deviceDirectory_;
    std::unique_ptr<hb::vboard::Device> device_ =
        hb::vboard::Device::create(deviceDirectory_ / "hbboard");
    hb::vboard::Board* virtualBoards_[HB_MAX_BOARDS] = {};
    AcceleratorBoard* boards_[HB_MAX_BOARDS] = {};
    std::unique_ptr<hbtest::RequestAgent> agents_[HB_MAX_BOARDS];
};

} // namespace hbtest
