#pragma once
// The toolkit front of a 16-octet digest around its own Start, Add and
// Finish: the init, update and final of its implementation table, and the
// calls of the info type whose chooser record it is.

#include "security/toolkit_internal.h"

template <typename Context, void (*Start)(Context*), void (*Add)(Context*, const unsigned char*, unsigned int),
          void (*Finish)(Context*, unsigned char*), const ToolkitAlgorithmType* Algorithm>
struct DigestFront {
    static int Init(void* context, const void*, const void*, int)
    {
        Start(static_cast<Context*>(context));
        return 0;
    }

    static int Update(void* context, unsigned char*, unsigned int*, unsigned int, const unsigned char* in,
                      unsigned int inLen, const ToolkitSurrender*)
    {
        Add(static_cast<Context*>(context), in, inLen);
        return 0;
    }

    static int Final(void* context, unsigned char* out, unsigned int* outLen, unsigned int maxOut)
    {
        *outLen = 0;
        if (maxOut < 16)
            return 10;
        Finish(static_cast<Context*>(context), out);
        *outLen = 16;
        return 0;
    }

    static int NoParameters(ToolkitAlgorithmObject, const void*) { return 0; }

    static int NoInfo(void** out, ToolkitAlgorithmObject)
    {
        *out = nullptr;
        return 0;
    }

    static int Create(ToolkitAlgorithmObject object) { return CreateChosenMethod(object, kMethodDigest, Algorithm); }
};
