#include "security/algorithm_object.h"

#include "security/rsa_exception.h"

void CheckToolkitResult(int status)
{
    if (status != 0)
        throw CRSAException(status);
}

CAlgorithmObject::CAlgorithmObject(bool throwOnError) : m_throwOnError(throwOnError)
{
    Check(CreateAlgorithmObject(&m_handle));
}

CAlgorithmObject::~CAlgorithmObject()
{
    DestroyAlgorithmObject(&m_handle);
}

int CAlgorithmObject::Check(int status) const
{
    if (m_throwOnError)
        CheckToolkitResult(status);
    return status;
}

int CAlgorithmObject::SetInfo(ToolkitInfoType type, const void* parameters)
{
    return Check(SetAlgorithmInfo(m_handle, type, parameters));
}

CKeyObject::CKeyObject(bool throwOnError) : m_throwOnError(throwOnError)
{
    Check(CreateKeyObject(&m_handle));
}

CKeyObject::~CKeyObject()
{
    DestroyKeyObject(&m_handle);
}

int CKeyObject::Check(int status) const
{
    if (m_throwOnError)
        CheckToolkitResult(status);
    return status;
}

int CKeyObject::SetInfo(ToolkitInfoType type, const void* value)
{
    return Check(SetKeyInfo(m_handle, type, value));
}
