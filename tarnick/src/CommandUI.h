// CCmdUI: what an update handler enables or checks — one menu item, during the update pass.
#pragma once

#include <QAction>

using UINT = unsigned int;

class CCmdUI {
public:
    CCmdUI(QAction* action, UINT id) : m_pAction(action), m_nID(id) {}

    void Enable(bool enable = true) {
        m_pAction->setEnabled(enable);
        m_bEnableChanged = true;
    }
    void SetCheck(int check = 1) {
        m_pAction->setCheckable(true);
        m_pAction->setChecked(check != 0);
    }

    QAction* m_pAction;
    UINT m_nID;
    bool m_bEnableChanged = false;
};
