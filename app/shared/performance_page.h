#pragma once
// CPerformancePage: the engine's Workers and Concurrency. The page starts
// from the settings sheet's two values and, each time its fields pass their
// checks, writes them back there for the sheet's save. Reading the fields
// back marks the sheet for a restart when either value differs from what
// the page first showed, since the worker pool is sized only when the
// servers start.

#include "app/kit/property_page.h"

#include <cstdint>
#include <memory>

namespace Ui {
class PerformancePage;
}

// Typed values must lie in this range; the arrows keep to a wider one.
inline constexpr std::int32_t kMaxWorkersTyped = 32000;
inline constexpr int kMaxWorkersSpin = 32767;

class CPerformancePage : public CPropertyPage {
    Q_OBJECT
public:
    CPerformancePage(std::uint32_t& workers, std::uint32_t& concurrency);
    ~CPerformancePage() override;

    std::int32_t Concurrency;
    std::int32_t Workers;

protected:
    void SetupUi() override;
    bool OnInitDialog() override;
    void DoDataExchange(CDataExchange& dx) override;

private:
    std::unique_ptr<Ui::PerformancePage> m_ui;
    std::uint32_t& m_workersOut;
    std::uint32_t& m_concurrencyOut;
    bool m_filled = false;
    std::int32_t m_firstConcurrency = 0;
    std::int32_t m_firstWorkers = 0;
};
