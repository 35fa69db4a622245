// The in-process backend: a qxsim::Simulator on a pty of this process, linked as COMn in a
// private QX_COM_DIR.
#include <stdlib.h>

#include <filesystem>

#include "sim_fixture.h"

namespace qxtest {
namespace {

class LocalSim final : public SimHandle {
  public:
    ~LocalSim() override {
        if (sim_) sim_->Stop();
        if (!comDir_.empty()) {
            unsetenv("QX_COM_DIR");
            std::error_code ignored;
            std::filesystem::remove_all(comDir_, ignored);
        }
    }

    ::testing::AssertionResult Launch(const qxsim::Config& config, int comNumber) override {
        char pattern[] = "/tmp/qxsimdev-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return ::testing::AssertionFailure() << "mkdtemp failed";
        comDir_ = pattern;
        setenv("QX_COM_DIR", comDir_.c_str(), 1);
        sim_ = std::make_unique<qxsim::Simulator>(config);
        std::string error;
        if (!sim_->Start(&error)) return ::testing::AssertionFailure() << "sim: " << error;
        if (!sim_->LinkAsCom(comNumber, comDir_, &error))
            return ::testing::AssertionFailure() << "link: " << error;
        return ::testing::AssertionSuccess();
    }

    std::vector<uint8_t> Memory(uint8_t space) const override { return sim_->Memory(space); }
    std::vector<uint8_t> ReadMemory(uint8_t space, uint32_t offset, size_t length) const override {
        return sim_->ReadMemory(space, offset, length);
    }
    void WriteMemory(uint8_t space, uint32_t offset, const std::vector<uint8_t>& bytes) override {
        sim_->WriteMemory(space, offset, bytes);
    }
    std::vector<uint8_t> Eeprom() const override { return sim_->Eeprom(); }
    void WriteEeprom(uint16_t address, const std::vector<uint8_t>& bytes) override {
        sim_->WriteEeprom(address, bytes);
    }
    qxsim::ModelInfo Model() const override { return sim_->Model(); }
    qxsim::DeviceState State() const override { return sim_->State(); }
    uint32_t LineBaud() const override { return sim_->LineBaud(); }
    uint32_t DeviceBaud() const override { return sim_->DeviceBaud(); }

    std::vector<qxsim::TranscriptEntry> Transcript() const override { return sim_->Transcript(); }
    void ClearTranscript() override { sim_->ClearTranscript(); }
    bool WaitForTranscript(size_t count, int timeoutMs) const override {
        return sim_->WaitForTranscript(count, timeoutMs);
    }

    bool AddFault(std::string_view spec, std::string* error) override {
        return sim_->AddFault(spec, error);
    }
    void ClearFaults() override { sim_->ClearFaults(); }
    bool Unplug() override { return sim_->Unplug(); }
    bool Replug(std::string* error) override { return sim_->Replug(error); }
    bool Plugged() const override { return sim_->Plugged(); }
    std::string PortPath() const override { return sim_->SlavePath(); }

  private:
    std::string comDir_;
    std::unique_ptr<qxsim::Simulator> sim_;
};

}  // namespace

std::unique_ptr<SimHandle> MakeLocalSimHandle() {
    return std::make_unique<LocalSim>();
}

}  // namespace qxtest
