#include "OdaEdpfLogDevice.h"

namespace OdaEdpf {

LogDevice::LogDevice(const std::string& name) : facility_(name) {}

LogDevice::~LogDevice() = default;

bool LogDevice::Open() { return true; }

bool LogDevice::Close() { return true; }

}  // namespace OdaEdpf
