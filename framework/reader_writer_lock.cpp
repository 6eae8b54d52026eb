#include "framework/reader_writer_lock.h"

bool CReaderWriterLock::LockRead(std::uint64_t deadlineMs)
{
    m_queue.Lock();
    for (;;) {
        if (m_closed)
            break;
        if (!m_writer && m_waitingWriters == 0) {
            ++m_readers;
            m_queue.Unlock();
            return true;
        }
        if (!m_queue.Wait(deadlineMs))
            break;
    }
    m_queue.Unlock();
    return false;
}

bool CReaderWriterLock::LockWrite(std::uint64_t deadlineMs)
{
    m_queue.Lock();
    ++m_waitingWriters;
    bool taken = false;
    for (;;) {
        if (m_closed)
            break;
        if (!m_writer && m_readers == 0) {
            m_writer = true;
            taken = true;
            break;
        }
        if (!m_queue.Wait(deadlineMs))
            break;
    }
    --m_waitingWriters;
    // Readers held back by this writer may go now; the others find the
    // lock as it is and wait again.
    if (!taken)
        m_queue.WakeAll();
    m_queue.Unlock();
    return taken;
}

void CReaderWriterLock::UnlockRead()
{
    m_queue.Lock();
    if (--m_readers == 0)
        m_queue.WakeAll();
    m_queue.Unlock();
}

void CReaderWriterLock::UnlockWrite()
{
    m_queue.Lock();
    m_writer = false;
    m_queue.WakeAll();
    m_queue.Unlock();
}

void CReaderWriterLock::Close()
{
    m_queue.Lock();
    m_closed = true;
    m_queue.WakeAll();
    m_queue.Unlock();
}

void CReaderWriterLock::Reopen()
{
    m_queue.Lock();
    m_closed = false;
    m_queue.Unlock();
}

bool CReaderWriterLock::IsClosed()
{
    m_queue.Lock();
    bool closed = m_closed;
    m_queue.Unlock();
    return closed;
}

bool CReaderWriterLock::WaitUntilFree(std::uint64_t deadlineMs)
{
    m_queue.Lock();
    for (;;) {
        if (m_readers == 0 && !m_writer) {
            m_queue.Unlock();
            return true;
        }
        if (!m_queue.Wait(deadlineMs)) {
            m_queue.Unlock();
            return false;
        }
    }
}

int CReaderWriterLock::GetReaders()
{
    m_queue.Lock();
    int readers = m_readers;
    m_queue.Unlock();
    return readers;
}

bool CReaderWriterLock::HasWriter()
{
    m_queue.Lock();
    bool writer = m_writer;
    m_queue.Unlock();
    return writer;
}
