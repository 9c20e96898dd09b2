// quavox-gpuprobe BACKEND ENGINE_FOLDER
//
// Lists the GPUs that the inference server can use with BACKEND ("cuda" or "vulkan"), one per
// line as "index TAB name". For Vulkan it also prints the inference library's own style of
// line ("ggml_vulkan: 1 = name | uma: 1 | vram: ... MiB"), which tells the program which GPUs
// are integrated. The drivers are loaded at run time (libcuda.so.1, libvulkan.so.1; first
// from ENGINE_FOLDER, then the system's), so on a machine without them nothing is printed
// and the exit status is still 0.
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Names may hold anything a driver reports; a tab or line break would split the line.
std::string Clean(const char* AName, std::size_t AMax) {
  std::string Name(AName, strnlen(AName, AMax));
  for (char& c : Name)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  return Name;
}

// A loaded library that unloads itself.
class TLibrary {
 public:
  TLibrary(const std::string& AFolder, const char* AName) {
    if (!AFolder.empty()) FHandle = dlopen((AFolder + "/" + AName).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (FHandle == nullptr) FHandle = dlopen(AName, RTLD_NOW | RTLD_LOCAL);
  }
  ~TLibrary() {
    if (FHandle != nullptr) dlclose(FHandle);
  }
  TLibrary(const TLibrary&) = delete;
  TLibrary& operator=(const TLibrary&) = delete;

  explicit operator bool() const { return FHandle != nullptr; }
  template <typename TFunction>
  bool Get(const char* AName, TFunction& AFunction) const {
    AFunction = reinterpret_cast<TFunction>(dlsym(FHandle, AName));
    return AFunction != nullptr;
  }

 private:
  void* FHandle = nullptr;
};

// --- CUDA driver API, the few calls used ---
using CUresult = int;
using CUdevice = int;
using TCuInit = CUresult (*)(unsigned int);
using TCuDeviceGetCount = CUresult (*)(int*);
using TCuDeviceGet = CUresult (*)(CUdevice*, int);
using TCuDeviceGetName = CUresult (*)(char*, int, CUdevice);
using TCuDeviceTotalMem = CUresult (*)(std::size_t*, CUdevice);

void ListCuda(const std::string& AFolder) {
  const TLibrary Cuda(AFolder, "libcuda.so.1");
  if (!Cuda) return;
  TCuInit Init;
  TCuDeviceGetCount GetCount;
  TCuDeviceGet GetDevice;
  TCuDeviceGetName GetName;
  TCuDeviceTotalMem TotalMem;
  if (!Cuda.Get("cuInit", Init) || !Cuda.Get("cuDeviceGetCount", GetCount) ||
      !Cuda.Get("cuDeviceGet", GetDevice) || !Cuda.Get("cuDeviceGetName", GetName) ||
      !Cuda.Get("cuDeviceTotalMem_v2", TotalMem))
    return;
  int Count = 0;
  if (Init(0) != 0 || GetCount(&Count) != 0) return;
  for (int i = 0; i < Count; ++i) {
    CUdevice Device = 0;
    char Name[256] = {};
    if (GetDevice(&Device, i) != 0 || GetName(Name, sizeof Name - 1, Device) != 0) continue;
    std::size_t Bytes = 0;
    if (TotalMem(&Bytes, Device) != 0) Bytes = 0;
    const std::string Clean_ = Clean(Name, sizeof Name);
    std::printf("  Device %d: %s, %zu MiB\n", i, Clean_.c_str(), Bytes / (1024 * 1024));
    std::printf("%d\t%s\n", i, Clean_.c_str());
  }
}

// --- Vulkan, the few types and calls used (layouts as in the Vulkan 1.0 headers) ---
using VkResult = int32_t;
struct VkInstanceT;
struct VkPhysicalDeviceT;
using VkInstance = VkInstanceT*;
using VkPhysicalDevice = VkPhysicalDeviceT*;

constexpr int32_t VkStructureTypeApplicationInfo = 0;
constexpr int32_t VkStructureTypeInstanceCreateInfo = 1;
constexpr VkResult VkSuccess = 0;
constexpr VkResult VkIncomplete = 5;
constexpr int32_t VkDeviceTypeIntegrated = 1;
constexpr int32_t VkDeviceTypeCpu = 4;
constexpr uint32_t VkHeapDeviceLocal = 1;
constexpr uint32_t VkApiVersion10 = 1u << 22;

struct VkApplicationInfo {
  int32_t sType;
  const void* pNext;
  const char* pApplicationName;
  uint32_t applicationVersion;
  const char* pEngineName;
  uint32_t engineVersion;
  uint32_t apiVersion;
};

struct VkInstanceCreateInfo {
  int32_t sType;
  const void* pNext;
  uint32_t flags;
  const VkApplicationInfo* pApplicationInfo;
  uint32_t enabledLayerCount;
  const char* const* ppEnabledLayerNames;
  uint32_t enabledExtensionCount;
  const char* const* ppEnabledExtensionNames;
};

// The leading members of VkPhysicalDeviceProperties; the driver writes the whole structure
// (limits and sparse properties follow), so it is read into a buffer larger than all of it.
struct VkPhysicalDevicePropertiesHead {
  uint32_t apiVersion;
  uint32_t driverVersion;
  uint32_t vendorID;
  uint32_t deviceID;
  int32_t deviceType;
  char deviceName[256];
};

struct VkMemoryType {
  uint32_t propertyFlags;
  uint32_t heapIndex;
};

struct VkMemoryHeap {
  uint64_t size;
  uint32_t flags;
};

struct VkPhysicalDeviceMemoryProperties {
  uint32_t memoryTypeCount;
  VkMemoryType memoryTypes[32];
  uint32_t memoryHeapCount;
  VkMemoryHeap memoryHeaps[16];
};

using TVkCreateInstance = VkResult (*)(const VkInstanceCreateInfo*, const void*, VkInstance*);
using TVkDestroyInstance = void (*)(VkInstance, const void*);
using TVkEnumeratePhysicalDevices = VkResult (*)(VkInstance, uint32_t*, VkPhysicalDevice*);
using TVkGetPhysicalDeviceProperties = void (*)(VkPhysicalDevice, void*);
using TVkGetPhysicalDeviceMemoryProperties = void (*)(VkPhysicalDevice,
                                                      VkPhysicalDeviceMemoryProperties*);

void ListVulkan(const std::string& AFolder) {
  const TLibrary Vulkan(AFolder, "libvulkan.so.1");
  if (!Vulkan) return;
  TVkCreateInstance CreateInstance;
  TVkDestroyInstance DestroyInstance;
  TVkEnumeratePhysicalDevices EnumerateDevices;
  TVkGetPhysicalDeviceProperties GetProperties;
  TVkGetPhysicalDeviceMemoryProperties GetMemory;
  if (!Vulkan.Get("vkCreateInstance", CreateInstance) ||
      !Vulkan.Get("vkDestroyInstance", DestroyInstance) ||
      !Vulkan.Get("vkEnumeratePhysicalDevices", EnumerateDevices) ||
      !Vulkan.Get("vkGetPhysicalDeviceProperties", GetProperties) ||
      !Vulkan.Get("vkGetPhysicalDeviceMemoryProperties", GetMemory))
    return;

  const VkApplicationInfo App{
      VkStructureTypeApplicationInfo, nullptr, "quavox-gpuprobe", 1, "quavox", 1, VkApiVersion10};
  const VkInstanceCreateInfo Create{
      VkStructureTypeInstanceCreateInfo, nullptr, 0, &App, 0, nullptr, 0, nullptr};
  VkInstance Instance = nullptr;
  if (CreateInstance(&Create, nullptr, &Instance) != VkSuccess || Instance == nullptr) return;

  std::vector<VkPhysicalDevice> Devices;
  VkResult Rc = VkIncomplete;
  for (int Tries = 0; Tries < 4 && Rc == VkIncomplete; ++Tries) {
    uint32_t Count = 0;
    if (EnumerateDevices(Instance, &Count, nullptr) != VkSuccess) break;
    Devices.assign(Count, nullptr);
    Rc = Count == 0 ? VkSuccess : EnumerateDevices(Instance, &Count, Devices.data());
    Devices.resize(Count);
  }
  if (Rc != VkSuccess) Devices.clear();

  // Numbered as the inference library numbers them: software renderers do not count.
  int Index = 0;
  for (VkPhysicalDevice Device : Devices) {
    alignas(16) unsigned char Buffer[4096] = {};
    GetProperties(Device, Buffer);
    VkPhysicalDevicePropertiesHead Head;
    std::memcpy(&Head, Buffer, sizeof Head);
    if (Head.deviceType == VkDeviceTypeCpu) continue;
    VkPhysicalDeviceMemoryProperties Memory{};
    GetMemory(Device, &Memory);
    uint64_t Local = 0;
    for (uint32_t h = 0; h < Memory.memoryHeapCount && h < 16; ++h)
      if ((Memory.memoryHeaps[h].flags & VkHeapDeviceLocal) != 0)
        Local += Memory.memoryHeaps[h].size;
    const std::string Name = Clean(Head.deviceName, sizeof Head.deviceName);
    std::printf("ggml_vulkan: %d = %s | uma: %d | vram: %llu MiB\n", Index, Name.c_str(),
                Head.deviceType == VkDeviceTypeIntegrated ? 1 : 0,
                static_cast<unsigned long long>(Local / (1024 * 1024)));
    std::printf("%d\t%s\n", Index, Name.c_str());
    ++Index;
  }
  DestroyInstance(Instance, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: quavox-gpuprobe cuda|vulkan [engine folder]\n");
    return 2;
  }
  const std::string Backend = argv[1];
  const std::string Folder = argc > 2 ? argv[2] : "";
  if (Backend == "cuda") {
    ListCuda(Folder);
  } else if (Backend == "vulkan") {
    ListVulkan(Folder);
  } else {
    std::fprintf(stderr, "usage: quavox-gpuprobe cuda|vulkan [engine folder]\n");
    return 2;
  }
  std::fflush(stdout);
  return 0;
}
