#pragma once
#include "app/MainFrame.h"

// The main window without a display: it keeps the show state and the
// clients-connected flag and runs the program's own event loop. Shown (in
// configuration mode) it never closes by itself, as a shown window does not.
class CHeadlessFrame : public IMainFrame {
   public:
    bool Create() override { return true; }
    void SetShowState(bool show) override { m_showState = show; }
    void RunWithProgress(std::string_view caption, const std::function<void()>& work) override;
    void BringToFront() override {}
    void FillTree() override {}
    void ShowWindow() override { m_visible = m_showState; }
    bool IsVisible() const override { return m_visible; }
    void SetClientsConnected(bool connected) override { m_clientsConnected = connected; }
    void Exec(CAppLoop& loop) override;
    void Close() override;

    bool ClientsConnected() const { return m_clientsConnected; }
    bool Closed() const { return m_closed; }

   private:
    bool m_showState = false;
    bool m_visible = false;
    bool m_clientsConnected = false;
    bool m_closed = false;
};
