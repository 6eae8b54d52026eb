// The random object over the toolkit's random generator.

#include "security/random_object.h"

#include "platform/entropy.h"
#include "security/layer_chooser.h"

#include <cstring>

namespace {

struct RandomPayload {
    int needed;
    ToolkitAlgorithmObject algorithm;
};

void RandomKind(void* payload)
{
    DestroyAlgorithmObject(&static_cast<RandomPayload*>(payload)->algorithm);
}

int Payload(RandomPayload** payload, ToolkitHandle* handle, const ToolkitLogCallback* log)
{
    void* p = nullptr;
    if (int status = HandleCheck(&p, handle, RandomKind))
        return ReportToolkitError(kContextReadingRandom, status, kAppRandom, log);
    *payload = static_cast<RandomPayload*>(p);
    return 0;
}

} // namespace

int CreateRandomObject(ToolkitHandle** handle)
{
    RandomPayload* payload = nullptr;
    if (int status = HandleAlloc(handle, reinterpret_cast<void**>(&payload), sizeof(RandomPayload), RandomKind))
        return status;
    payload->needed = kRandomSeedNeeded;
    int status = CreateAlgorithmObject(&payload->algorithm);
    if (!status)
        status = SetAlgorithmInfo(payload->algorithm, RandomInfoType, nullptr);
    if (status) {
        HandleFree(handle);
        return kAppNoMemory;
    }
    status = RandomInit(payload->algorithm, LayerAlgorithmChooser, nullptr);
    if (status) {
        HandleFree(handle);
        return status == kToolkitNoMemory ? kAppNoMemory : 283;
    }
    return 0;
}

int SeedRandomObject(ToolkitHandle* handle, const unsigned char* bytes, unsigned int length,
                     const ToolkitLogCallback* log)
{
    RandomPayload* payload = nullptr;
    if (int status = Payload(&payload, handle, log))
        return status;
    payload->needed = length >= static_cast<unsigned int>(payload->needed) ? 0 : payload->needed - length;
    return RandomUpdate(payload->algorithm, bytes, length, nullptr) ? 283 : 0;
}

int GenerateFromRandomObject(unsigned char* out, unsigned int length, ToolkitHandle* handle,
                             const ToolkitLogCallback* log)
{
    RandomPayload* payload = nullptr;
    if (int status = Payload(&payload, handle, log))
        return status;
    if (payload->needed > 0)
        return kAppNeedsSeed;
    return GenerateRandomBytes(payload->algorithm, out, length, nullptr) ? 283 : 0;
}

int GetRandomSeedNeeded(int* count, ToolkitHandle* handle, const ToolkitLogCallback* log)
{
    RandomPayload* payload = nullptr;
    if (int status = Payload(&payload, handle, log))
        return status;
    *count = payload->needed;
    return 0;
}

int GetRandomAlgorithm(ToolkitAlgorithmObject* algorithm, ToolkitHandle* handle)
{
    *algorithm = nullptr;
    void* p = nullptr;
    if (HandleCheck(&p, handle, RandomKind))
        return kAppRandom;
    auto* payload = static_cast<RandomPayload*>(p);
    if (payload->needed > 0)
        return kAppNeedsSeed;
    *algorithm = payload->algorithm;
    return 0;
}

void DestroyRandomObject(ToolkitHandle** handle)
{
    HandleFree(handle);
}

int SeedRandomObjectFromSystem(ToolkitHandle* handle, const ToolkitLogCallback* log)
{
    // Bounded: every pass lowers the need by the size of one pass.
    for (int pass = 0; pass <= kRandomSeedNeeded; ++pass) {
        int needed = 0;
        if (int status = GetRandomSeedNeeded(&needed, handle, log))
            return status;
        if (needed == 0)
            return 0;
        struct {
            platform::ProcessFigures figures;
            unsigned char kernel[32];
        } seed{};
        seed.figures = platform::GetProcessFigures();
        bool filled = platform::FillRandom(seed.kernel, sizeof seed.kernel);
        int status = filled ? SeedRandomObject(handle, reinterpret_cast<const unsigned char*>(&seed), sizeof seed, log)
                            : kAppRandom;
        explicit_bzero(&seed, sizeof seed);
        if (status)
            return status;
    }
    return kAppRandom;
}
