// The property page base and the decoder's page, driven the way a property frame drives
// them, on a window standing in for the frame.
#include "tests/ui/ui_support.h"

#include "filter/MaincomProp.h"
#include "ui/property_page.h"
#include "ui/resource_ids.h"

namespace {

using uitest::FakeEffect;
using uitest::FakeSite;
using uitest::ParentWindow;
using uitest::PlainObject;
using uitest::Pump;

// A page whose hooks are observable and whose dirty flag a test can set.
class ProbePage : public CBasePropertyPage {
public:
    ProbePage(int dialogId, int titleId) : CBasePropertyPage("probe", nullptr, dialogId, titleId) {}
    void SetDirty() { m_bDirty = TRUE; }
    HWND PageWindow() const { return m_hwnd; }
    HRESULT OnApplyChanges() override
    {
        ++applied;
        return applyResult;
    }
    HRESULT OnDisconnect() override
    {
        if (disconnectSink) ++*disconnectSink;
        return S_OK;
    }
    int applied = 0;
    int* disconnectSink = nullptr;
    HRESULT applyResult = S_OK;
};

// The decoder's page, held through its IPropertyPage.
struct DecoderPage {
    DecoderPage()
    {
        HRESULT hr = S_OK;
        CUnknown* object = CVEvavaProp::CreateInstance(nullptr, &hr);
        EXPECT_EQ(hr, S_OK);
        unknown = object->GetNonDelegatingUnknown();
        unknown->AddRef();
        EXPECT_EQ(unknown->QueryInterface(IID_IPropertyPage, reinterpret_cast<void**>(&page)), S_OK);
        unknown->Release();
        prop = static_cast<CVEvavaProp*>(object);
    }
    ~DecoderPage()
    {
        if (page) page->Release();
    }
    IUnknown* unknown = nullptr;
    IPropertyPage* page = nullptr;
    CVEvavaProp* prop = nullptr;
};

RECT PageRect() { return RECT{7, 30, 7 + 420, 30 + 210}; }

SIZE ExpectedDialogPixels()
{
    // 208 x 100 dialog units in the system font.
    LONG units = GetDialogBaseUnits();
    return SIZE{(208 * LOWORD(units) + 2) / 4, (100 * HIWORD(units) + 4) / 8};
}

// The decoder's page connected to a filter and activated on a frame window.
class ActivePage : public ::testing::Test {
protected:
    void SetUp() override
    {
        IUnknown* objects[1] = {&filter};
        ASSERT_EQ(p.page->SetObjects(1, objects), S_OK);
        ASSERT_EQ(p.page->Activate(frame.Handle(), &rect, TRUE), S_OK);
    }
    ParentWindow frame;
    DecoderPage p;
    FakeEffect filter;
    RECT rect = PageRect();
};

TEST(PropertyPage, SiteIsTakenOnceAndGivenBackOnce)
{
    auto* page = new ProbePage(IDD_PAGE, IDS_PAGE_TITLE);
    page->NonDelegatingAddRef();
    FakeSite site;
    EXPECT_EQ(page->SetPageSite(&site), S_OK);
    EXPECT_EQ(site.refs, 2);
    FakeSite other;
    EXPECT_EQ(page->SetPageSite(&other), E_UNEXPECTED);
    EXPECT_EQ(other.refs, 1);
    EXPECT_EQ(page->SetPageSite(nullptr), S_OK);
    EXPECT_EQ(site.refs, 1);
    EXPECT_EQ(page->SetPageSite(nullptr), E_UNEXPECTED);
    page->NonDelegatingRelease();
}

TEST(PropertyPage, ObjectRulesAndActivationPreconditions)
{
    ParentWindow frame;
    DecoderPage p;
    RECT rect = PageRect();
    EXPECT_EQ(p.page->Activate(frame.Handle(), &rect, TRUE), E_UNEXPECTED);  // nothing to show yet

    FakeEffect filter;
    IUnknown* objects[2] = {&filter, &filter};
    EXPECT_EQ(p.page->SetObjects(2, objects), E_UNEXPECTED);
    EXPECT_EQ(p.page->SetObjects(1, nullptr), E_POINTER);
    IUnknown* none[1] = {nullptr};
    EXPECT_EQ(p.page->SetObjects(1, none), E_POINTER);
    EXPECT_EQ(p.page->Activate(frame.Handle(), &rect, TRUE), E_UNEXPECTED);  // still disconnected
    EXPECT_EQ(filter.refs, 1);

    EXPECT_EQ(p.page->SetObjects(1, objects), S_OK);
    EXPECT_EQ(p.page->Activate(frame.Handle(), nullptr, TRUE), E_POINTER);
    EXPECT_EQ(p.page->Activate(frame.Handle(), &rect, TRUE), S_OK);
    EXPECT_EQ(p.page->Activate(frame.Handle(), &rect, TRUE), E_UNEXPECTED);  // already active
    EXPECT_EQ(p.page->Deactivate(), S_OK);
    EXPECT_EQ(p.page->Deactivate(), E_UNEXPECTED);
    EXPECT_EQ(p.page->SetObjects(0, nullptr), S_OK);
}

TEST(PropertyPage, ConnectingHoldsOneReferenceOnTheFilterUntilDisconnected)
{
    FakeEffect filter;
    {
        DecoderPage p;
        IUnknown* objects[1] = {&filter};
        EXPECT_EQ(p.page->SetObjects(1, objects), S_OK);
        EXPECT_EQ(filter.refs, 2);
        // A second connection without a disconnection keeps one reference, not two.
        EXPECT_EQ(p.page->SetObjects(1, objects), S_OK);
        EXPECT_EQ(filter.refs, 2);
        EXPECT_EQ(p.page->SetObjects(0, nullptr), S_OK);
        EXPECT_EQ(filter.refs, 1);
        // Disconnected twice (as the final release does after the frame) is harmless.
        EXPECT_EQ(p.page->SetObjects(0, nullptr), S_OK);
        EXPECT_EQ(p.page->SetObjects(1, objects), S_OK);
    }
    // Released while still connected: the final release lets the filter go.
    EXPECT_EQ(filter.refs, 1);
}

TEST(PropertyPage, ObjectWithoutParameterInterfaceStillShowsTheAboutWindow)
{
    ParentWindow frame;
    DecoderPage p;
    PlainObject object;
    IUnknown* objects[1] = {&object};
    EXPECT_EQ(p.page->SetObjects(1, objects), E_NOINTERFACE);
    EXPECT_EQ(object.refs, 1);
    RECT rect = PageRect();
    ASSERT_EQ(p.page->Activate(frame.Handle(), &rect, TRUE), S_OK);
    ASSERT_NE(p.prop->AboutForm(), nullptr);
    EXPECT_TRUE(IsWindowVisible(p.prop->AboutForm()->Handle()));
    EXPECT_EQ(p.page->Deactivate(), S_OK);
}

TEST_F(ActivePage, ActivationPlacesTheAboutWindowAtTheTopLeftOfThePage)
{
    EXPECT_EQ(filter.reads, 1);

    HWND dialog = GetWindow(frame.Handle(), GW_CHILD);
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(IsWindowVisible(dialog));
    EXPECT_TRUE(GetWindowLongPtrW(dialog, GWL_STYLE) & WS_CHILD);
    RECT placed;
    GetWindowRect(dialog, &placed);
    POINT origin{placed.left, placed.top};
    ScreenToClient(frame.Handle(), &origin);
    EXPECT_EQ(origin.x, rect.left);
    EXPECT_EQ(origin.y, rect.top);
    EXPECT_EQ(placed.right - placed.left, rect.right - rect.left);

    auto forms = uitest::FormWindowsUnder(dialog);
    ASSERT_EQ(forms.size(), 1u);
    EXPECT_EQ(forms[0], p.prop->AboutForm()->Handle());
    RECT about, client;
    GetWindowRect(forms[0], &about);
    GetClientRect(forms[0], &client);
    EXPECT_EQ(about.left, placed.left);
    EXPECT_EQ(about.top, placed.top);
    EXPECT_EQ(client.right, 409);
    EXPECT_EQ(client.bottom, 201);
    EXPECT_TRUE(IsWindowVisible(forms[0]));
    EXPECT_NE(p.prop->AboutForm()->TimerId(), 0u);

    EXPECT_EQ(p.page->IsPageDirty(), S_FALSE);
    EXPECT_EQ(p.page->Deactivate(), S_OK);
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_FALSE(IsWindow(forms[0]));
}

TEST(PropertyPage, ShowAcceptsOnlyHideAndShowCommands)
{
    ParentWindow frame;
    DecoderPage p;
    FakeEffect filter;
    IUnknown* objects[1] = {&filter};
    EXPECT_EQ(p.page->Show(SW_SHOW), E_UNEXPECTED);  // not active
    ASSERT_EQ(p.page->SetObjects(1, objects), S_OK);
    RECT rect = PageRect();
    ASSERT_EQ(p.page->Activate(frame.Handle(), &rect, TRUE), S_OK);
    HWND dialog = GetWindow(frame.Handle(), GW_CHILD);
    EXPECT_EQ(p.page->Show(SW_MINIMIZE), E_INVALIDARG);
    EXPECT_TRUE(IsWindowVisible(dialog));
    EXPECT_EQ(p.page->Show(SW_HIDE), S_OK);
    EXPECT_FALSE(IsWindowVisible(dialog));
    EXPECT_EQ(p.page->Show(SW_MINIMIZE), E_INVALIDARG);
    EXPECT_FALSE(IsWindowVisible(dialog));
    EXPECT_EQ(p.page->Show(SW_SHOW), S_OK);
    EXPECT_TRUE(IsWindowVisible(dialog));

    RECT moved{0, 0, 300, 100};
    EXPECT_EQ(p.page->Move(nullptr), E_POINTER);
    EXPECT_EQ(p.page->Move(&moved), S_OK);
    RECT now;
    GetClientRect(dialog, &now);
    EXPECT_EQ(now.right, 300);
    EXPECT_EQ(now.bottom, 100);
    EXPECT_EQ(p.page->Deactivate(), S_OK);
    EXPECT_EQ(p.page->Move(&moved), E_UNEXPECTED);
}

TEST(PropertyPage, ApplyNeedsAnObjectAndASiteAndReachesThePageOnlyWhenDirty)
{
    auto* page = new ProbePage(IDD_PAGE, IDS_PAGE_TITLE);
    page->NonDelegatingAddRef();
    FakeEffect filter;
    FakeSite site;
    IUnknown* objects[1] = {&filter};
    page->SetDirty();
    EXPECT_EQ(page->Apply(), E_UNEXPECTED);  // no object
    ASSERT_EQ(page->SetObjects(1, objects), S_OK);
    EXPECT_EQ(page->Apply(), E_UNEXPECTED);  // no site, though dirty
    EXPECT_EQ(page->applied, 0);
    ASSERT_EQ(page->SetPageSite(&site), S_OK);

    page->applyResult = E_FAIL;
    EXPECT_EQ(page->Apply(), E_FAIL);
    EXPECT_EQ(page->IsPageDirty(), S_OK);  // a failed apply leaves the changes pending
    page->applyResult = S_OK;
    EXPECT_EQ(page->Apply(), S_OK);
    EXPECT_EQ(page->IsPageDirty(), S_FALSE);
    EXPECT_EQ(page->applied, 2);
    EXPECT_EQ(page->Apply(), S_OK);  // clean: the page class is not asked
    EXPECT_EQ(page->applied, 2);
    page->NonDelegatingRelease();
    EXPECT_EQ(site.refs, 1);
}

TEST(PropertyPage, DecoderPageAppliesCleanlyWithASite)
{
    DecoderPage p;
    FakeEffect filter;
    FakeSite site;
    IUnknown* objects[1] = {&filter};
    ASSERT_EQ(p.page->SetPageSite(&site), S_OK);
    ASSERT_EQ(p.page->SetObjects(1, objects), S_OK);
    EXPECT_EQ(p.page->Apply(), S_OK);
    EXPECT_EQ(p.page->IsPageDirty(), S_FALSE);
    EXPECT_EQ(p.page->Help(nullptr), E_NOTIMPL);
    EXPECT_EQ(p.page->TranslateAccelerator(nullptr), E_NOTIMPL);
    p.page->Release();
    p.page = nullptr;
    EXPECT_EQ(site.refs, 1);
    EXPECT_EQ(filter.refs, 1);
}

TEST(PropertyPage, PageInfoGivesTheTitleAndTheDialogSize)
{
    DecoderPage p;
    EXPECT_EQ(p.page->GetPageInfo(nullptr), E_POINTER);
    PROPPAGEINFO info{};
    ASSERT_EQ(p.page->GetPageInfo(&info), S_OK);
    EXPECT_EQ(info.cb, sizeof(PROPPAGEINFO));
    ASSERT_NE(info.pszTitle, nullptr);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(info.pszTitle)), u"VEvava Filter");
    SIZE expected = ExpectedDialogPixels();
    EXPECT_EQ(info.size.cx, expected.cx);
    EXPECT_EQ(info.size.cy, expected.cy);
    EXPECT_EQ(info.pszDocString, nullptr);
    EXPECT_EQ(info.pszHelpFile, nullptr);
    EXPECT_EQ(info.dwHelpContext, 0u);
    CoTaskMemFree(info.pszTitle);
}

TEST(PropertyPage, PageInfoWithoutItsResourcesFallsBackToDefaults)
{
    auto* page = new ProbePage(4321, 4322);
    page->NonDelegatingAddRef();
    PROPPAGEINFO info{};
    ASSERT_EQ(page->GetPageInfo(&info), S_OK);
    ASSERT_NE(info.pszTitle, nullptr);
    EXPECT_EQ(info.pszTitle[0], 0);
    EXPECT_EQ(info.size.cx, 340);
    EXPECT_EQ(info.size.cy, 150);
    CoTaskMemFree(info.pszTitle);
    // And its dialog cannot be made, so activation fails without leaving a window.
    ParentWindow frame;
    FakeEffect filter;
    IUnknown* objects[1] = {&filter};
    ASSERT_EQ(page->SetObjects(1, objects), S_OK);
    RECT rect = PageRect();
    EXPECT_EQ(page->Activate(frame.Handle(), &rect, TRUE), E_OUTOFMEMORY);
    EXPECT_EQ(page->PageWindow(), nullptr);
    EXPECT_EQ(GetWindow(frame.Handle(), GW_CHILD), nullptr);
    page->NonDelegatingRelease();
}

TEST(PropertyPage, FinalReleaseWithASiteStillHeldReleasesItAndDisconnectsOnce)
{
    auto* page = new ProbePage(IDD_PAGE, IDS_PAGE_TITLE);
    IUnknown* identity = page->GetNonDelegatingUnknown();
    identity->AddRef();
    FakeSite site;
    FakeEffect filter;
    IUnknown* objects[1] = {&filter};
    ASSERT_EQ(page->SetPageSite(&site), S_OK);
    ASSERT_EQ(page->SetObjects(1, objects), S_OK);
    int disconnects = 0;
    page->disconnectSink = &disconnects;
    LONG before = CBaseObject::ObjectsActive();
    EXPECT_EQ(identity->Release(), 0u);
    EXPECT_EQ(site.refs, 1);
    EXPECT_EQ(disconnects, 1);
    EXPECT_EQ(CBaseObject::ObjectsActive(), before - 1);
}

TEST_F(ActivePage, ExtendedStyleKeepsControlParentWhileActive)
{
    HWND dialog = GetWindow(frame.Handle(), GW_CHILD);
    SetWindowLongPtrW(dialog, GWL_EXSTYLE, 0);
    EXPECT_TRUE(GetWindowLongPtrW(dialog, GWL_EXSTYLE) & WS_EX_CONTROLPARENT);
    SetWindowLongPtrW(dialog, GWL_EXSTYLE, WS_EX_CONTROLPARENT | WS_EX_NOPARENTNOTIFY);
    EXPECT_EQ(GetWindowLongPtrW(dialog, GWL_EXSTYLE) & (WS_EX_CONTROLPARENT | WS_EX_NOPARENTNOTIFY),
              WS_EX_CONTROLPARENT | WS_EX_NOPARENTNOTIFY);
    EXPECT_EQ(p.page->Deactivate(), S_OK);
}

TEST_F(ActivePage, ReactivationReplacesTheAboutWindowAndStopsTheOldTimer)
{
    Pump(150);
    ASSERT_EQ(p.page->Deactivate(), S_OK);
    ASSERT_EQ(p.page->Activate(frame.Handle(), &rect, TRUE), S_OK);
    HWND dialog = GetWindow(frame.Handle(), GW_CHILD);
    auto forms = uitest::FormWindowsUnder(dialog);
    ASSERT_EQ(forms.size(), 1u);
    EXPECT_EQ(forms[0], p.prop->AboutForm()->Handle());
    EXPECT_TRUE(IsWindowVisible(forms[0]));
    EXPECT_NE(p.prop->AboutForm()->TimerId(), 0u);
    // The earlier window is gone with its timer: nothing of it may run any more.
    Pump(300);
    ASSERT_EQ(p.page->Deactivate(), S_OK);
}

TEST(PropertyPage, ReleasingAnActivePageRemovesItsDialog)
{
    ParentWindow frame;
    FakeEffect filter;
    HWND dialog = nullptr;
    {
        DecoderPage p;
        IUnknown* objects[1] = {&filter};
        ASSERT_EQ(p.page->SetObjects(1, objects), S_OK);
        RECT rect = PageRect();
        ASSERT_EQ(p.page->Activate(frame.Handle(), &rect, TRUE), S_OK);
        dialog = GetWindow(frame.Handle(), GW_CHILD);
        ASSERT_NE(dialog, nullptr);
    }
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_EQ(filter.refs, 1);
    Pump(200);  // no timer of the gone page may reach anything
}

TEST(PropertyPage, CreatedConnectedAndReleasedWithoutActivation)
{
    FakeEffect filter;
    LONG before = CBaseObject::ObjectsActive();
    {
        DecoderPage p;
        IUnknown* objects[1] = {&filter};
        ASSERT_EQ(p.page->SetObjects(1, objects), S_OK);
        EXPECT_EQ(p.prop->AboutForm(), nullptr);
    }
    EXPECT_EQ(filter.refs, 1);
    EXPECT_EQ(CBaseObject::ObjectsActive(), before);
}

TEST_F(ActivePage, DeactivationStopsTheRefreshBeforeTheOldHandleNamesAnotherWindow)
{
    Pump(150);
    ASSERT_EQ(p.page->Deactivate(), S_OK);
    TForm1* about = p.prop->AboutForm();
    ASSERT_NE(about, nullptr);
    // The refresh goes to the about window's parent, the destroyed dialog's handle. Pointing
    // it at a live window stands for the system giving that handle to another window.
    ParentWindow stranger;
    about->SetParentWindow(stranger.Handle());
    Pump(300);
    EXPECT_EQ(stranger.Count(WM_ABOUT_REFRESH), 0);

    // The next activation runs a timer again.
    ASSERT_EQ(p.page->Activate(frame.Handle(), &rect, TRUE), S_OK);
    EXPECT_NE(p.prop->AboutForm()->TimerId(), 0u);
    ASSERT_EQ(p.page->Deactivate(), S_OK);
}

}  // namespace
