#include "ui/AboutDlg.h"

#include "ui/LinkRules.h"
#include "ui/resource.h"

namespace {

std::wstring Wide(const char16_t* text) {
  const std::u16string value(text);
  return std::wstring(value.begin(), value.end());
}

}  // namespace

CAboutDlg::CAboutDlg(HWND owner) : CDialogBase(IDD_ABOUTBOX, owner) {
  // The controls have no text: the links show their targets.
  siteLink.SetURL(Wide(MakerWebSite));
  mailLink.SetURL(Wide(SupportEmail));
}

void CAboutDlg::DoDataExchange() {
  siteLink.Attach(Item(IDC_SITE_LINK));
  mailLink.Attach(Item(IDC_MAIL_LINK));
}

BOOL CAboutDlg::OnInitDialog() {
  DoDataExchange();
  for (CXHyperLink* link : {&siteLink, &mailLink}) {
    link->MarkVisited(false);
    link->EnableAutoFit(true);
    link->SetUnderlineMode(1);
    link->SetLinkColors(RGB(0, 0, 255), RGB(0, 0, 255), RGB(100, 100, 255));
    link->EnableTooltip(false);
    link->SetNotifyParent(true);
    link->SetOpenOnClick(true);
  }
  return TRUE;
}
