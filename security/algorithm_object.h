#pragma once
// Owners of toolkit objects for the server code: each destroys its object
// and, with throw-on-error set, turns a non-zero toolkit status into
// CRSAException.

#include "security/toolkit.h"

// Throws CRSAException(status) when status is not 0.
void CheckToolkitResult(int status);

class CAlgorithmObject {
public:
    // Creates the toolkit object; throws when that fails and throwOnError.
    explicit CAlgorithmObject(bool throwOnError = true);
    ~CAlgorithmObject();
    CAlgorithmObject(const CAlgorithmObject&) = delete;
    CAlgorithmObject& operator=(const CAlgorithmObject&) = delete;

    ToolkitAlgorithmObject Handle() const { return m_handle; }
    // Answers status, or throws it when it is not 0 and throwOnError.
    int Check(int status) const;
    int SetInfo(ToolkitInfoType type, const void* parameters = nullptr);

private:
    bool m_throwOnError;
    ToolkitAlgorithmObject m_handle = nullptr;
};

class CKeyObject {
public:
    explicit CKeyObject(bool throwOnError = true);
    ~CKeyObject();
    CKeyObject(const CKeyObject&) = delete;
    CKeyObject& operator=(const CKeyObject&) = delete;

    ToolkitKeyObject Handle() const { return m_handle; }
    int Check(int status) const;
    int SetInfo(ToolkitInfoType type, const void* value);

private:
    bool m_throwOnError;
    ToolkitKeyObject m_handle = nullptr;
};
