#include "ui/AboutDlg.h"

#include "platform/Text.h"
#include "ui/LinkRules.h"
#include "ui/resource.h"

CAboutDlg::CAboutDlg(HWND owner) : CDialogBase(IDD_ABOUTBOX, owner) {
  // The controls have no text: the links show their targets.
  siteLink.SetURL(WideFromUtf16(MakerWebSite));
  mailLink.SetURL(WideFromUtf16(SupportEmail));
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
