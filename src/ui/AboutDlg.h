// CAboutDlg: the program's name and version, with links to the maker's web
// site and the support address.
#pragma once

#include "ui/Framework.h"
#include "ui/XHyperLink.h"

class CAboutDlg : public CDialogBase {
 public:
  explicit CAboutDlg(HWND owner);

 protected:
  BOOL OnInitDialog() override;

 private:
  // Binds the link controls to their members.
  void DoDataExchange();

  CXHyperLink siteLink;
  CXHyperLink mailLink;
};
