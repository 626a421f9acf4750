#!/usr/bin/env bash
# Makes a Wine prefix (WINEPREFIX) show every script of the installer's 18
# languages: the fonts Wine draws dialogs and message boxes with are
# replaced by WenQuanYi Micro Hei (Latin, Greek, Cyrillic, CJK), which links
# DejaVu Sans for Arabic and Hebrew. Needs Debian's fonts-wqy-microhei and
# fonts-dejavu (scripts/setup.sh installs them).
set -u
subst='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes'
link='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink'
for face in "MS Shell Dlg" "MS Shell Dlg 2" "MS Sans Serif" "Tahoma"; do
  wine reg add "$subst" /v "$face" /d "WenQuanYi Micro Hei" /f >/dev/null 2>&1 </dev/null
done
wine reg add "$link" /v "WenQuanYi Micro Hei" /t REG_MULTI_SZ /d 'DejaVuSans.ttf,DejaVu Sans' /f >/dev/null 2>&1 </dev/null
exit 0
