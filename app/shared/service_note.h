#pragma once
// The line a Service page shows under its buttons when it cannot know the
// service's state: greyed buttons say nothing of why, so a service that is
// not installed (an applet opened on a new hive, say) or a machine that
// does not answer is said in words. Both Service pages (the application's
// and the applet's) show it.

#include <string>

class QLabel;
class QVBoxLayout;
class QWidget;

class CServiceNote {
public:
    // Adds the hidden line to layout at index, under the page's buttons.
    CServiceNote(QWidget* page, QVBoxLayout* layout, int index);

    // Shows why for the states -1 and kServiceNoAnswer (of machine, empty
    // for this one), hides the line for any other; width: the width the
    // line wraps at.
    void Show(int state, const std::string& machine, int width);

private:
    QLabel* m_label;
    QVBoxLayout* m_layout;
};
