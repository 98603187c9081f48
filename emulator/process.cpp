#include "process.h"

namespace emulator {

Process::Process(Arch arch)
    : machine(arch),
      runtime(machine),
      exceptions(runtime,
                 [this](Address pc) -> const Image* {
                   return image && image->contains(pc) ? image.get() : nullptr;
                 }),
      imports(machine) {
  runtime.setExceptions(&exceptions);
  runtime.setSymbolizer([this](Address address) {
    if (image && image->contains(address)) return image->symbolize(address);
    if (machine.isNative(address)) return machine.nativeName(address);
    return Machine::hex(address);
  });
}

void Process::defineSystem() {
  defineFoundation(runtime);
  defineObjcImports(runtime, imports);
  defineLibc(runtime, imports);
  defineCxxRuntime(runtime, imports);
  defineLibcxx(runtime, imports);
  defineCoreFoundation(runtime, imports);
  defineMediaFrameworks(runtime, imports);
  defineSpringBoard(runtime, imports);
  defineUIFrameworks(runtime, imports);
}

void Process::load(MachOFile machO, std::string name) {
  file = std::make_unique<MachOFile>(std::move(machO));
  image =
      std::make_unique<Image>(machine, runtime, imports, *file, std::move(name), layout::kImage);
  image->registerObjectiveC();
}

bool Process::enter(const std::function<void()>& work) {
  if (runtime.failure()) return false;
  ++calls;
  hostTask(runtime, work)();
  return !runtime.failure();
}

}  // namespace emulator
