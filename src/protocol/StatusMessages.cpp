#include "protocol/StatusMessages.h"

#include <cstdio>

// Each entry: (Chinese, English). Only the English member is shown. Entry 70 has no text.
// Where only the English wording is known the Chinese member repeats a plain translation.
const StatusMessage g_statusMessages[kStatusMessageCount] = {
    /*  0 */ {"复位成功!收到Init end!", "Reset success! Init end!"},
    /*  1 */ {"复位收到未知字符,清空接收缓冲区!", "Reset Unknow char ,flush buffer"},
    /*  2 */ {"拍照成功!", "Capture Success!"},
    /*  3 */ {"删除停止拍照命令!", "delete sotp capture cmd!"},
    /*  4 */ {"停止拍照成功!", "stop capture cmd success!"},
    /*  5 */ {"拍照时检测到移动!", "Motion Detection!"},
    /*  6 */ {"设置压缩率成功!", "Set compression success!"},
    /*  7 */ {"改变省电模式成功!", "Change power saving mode success!"},
    /*  8 */ {"设置波特率成功!请关闭端口重新选择波特率再打开!", "Change temp baud success!Please close prot and select new baud again!"},
    /*  9 */ {"设置图像大小成功!", "Set image size success!"},
    /* 10 */ {"设置移动侦测灵敏度成功!", "set motion sensitivity success!"},
    /* 11 */ {"打开移动侦测成功!", "Open motion detect success!"},
    /* 12 */ {"关闭移动侦测成功!", "Close motion detect success!"},
    /* 13 */ {"打开人形侦测成功!", "Open person detect success!"},
    /* 14 */ {"关闭人形侦测成功!", "Close person detect success!"},
    /* 15 */ {"打开车辆侦测成功!", "Open vehicle detect success!"},
    /* 16 */ {"关闭车辆侦测成功!", "Close vehicle detect success!"},
    /* 17 */ {"打开补光成功!", "Open fill light success!"},
    /* 18 */ {"关闭补光成功!", "Close fill light success!"},
    /* 19 */ {"设置补光成功!", "set fill light success!"},
    /* 20 */ {"创建文件", "Create file"},
    /* 21 */ {"Find 512 frame head", "Find 512 frame head"},
    /* 22 */ {"Find 512 frame end", "Find 512 frame end"},
    /* 23 */ {"Detele queue CMD_READ_BUF_512", "Detele queue CMD_READ_BUF_512"},
    /* 24 */ {"收到全部帧拍照结束！", "capture finish!"},
    /* 25 */ {"m_bFindFrameEnd = TRUE,查找帧尾标志0x76", "Find frame flag 0x76"},
    /* 26 */ {"Wait frame end 76 00 32 00 00", "Wait frame end 76 00 32 00 00"},
    /* 27 */ {"success:wait frame end 76 00 32 00 00", "success:wait frame end 76 00 32 00 00"},
    /* 28 */ {"Detele queue CMD_READ_TOTAL", "Detele queue CMD_READ_TOTAL"},
    /* 29 */ {"Get file transfer end flag", "Get file transfer end flag"},
    /* 30 */ {"photo finish!", "photo finish!"},
    /* 31 */ {"Last block", "Last block"},
    /* 32 */ {"一次写512字节给上层,及时释放缓冲区", "Once write 512,flush buffer now"},
    /* 33 */ {"检测到移动!", "Motion Detection happen!"},
    /* 34 */ {"上电成功!收到Init end!", "Power on success! Get Init end!"},
    /* 35 */ {"PhotoOnce 清空命令队列", "PhotoOnce flush cmd queue"},
    /* 36 */ {"Find jpg frame head!", "Find jpg frame head!"},
    /* 37 */ {"Find jpg frame end!", "Find jpg frame end!"},
    /* 38 */ {"文件已经关闭!", "File cloed!"},
    /* 39 */ {"下一张", "Next"},
    /* 40 */ {"图像模式", "Image Mode"},
    /* 41 */ {"命令模式", "Command Mode"},
    /* 42 */ {"开始连拍", "Start mutil capture"},
    /* 43 */ {"读取连拍", "Read mutil capture"},
    /* 44 */ {"正在拍照,请稍候...", "Capture now,Please wait..."},
    /* 45 */ {"连拍成功！", "Mutil capture success!"},
    /* 46 */ {"连拍失败！", "Mutil capture fail!"},
    /* 47 */ {"读侦测", "Read"},
    /* 48 */ {"设置移动侦测连拍成功!", "set mutil motion capture success!"},
    /* 49 */ {"设置移动侦测连拍失败!", "set mutil motion capture fail!"},
    /* 50 */ {"检测到移动，请读侦测!", "Motion Detection happen! Please click read"},
    /* 51 */ {"设置智能侦测成功!", "set Intelligent detection success!"},
    /* 52 */ {"设置智能侦测失败!", "set Intelligent detection fail!"},
    /* 53 */ {"检测到人或车，请读侦测!", "Person or vehicle Detection happen! Please click read"},
    /* 54 */ {"人形侦测:识别到%d人", "%d people detecting now!"},
    /* 55 */ {"车辆侦测:识别到%d辆车", "%d cars detecting now!"},
    /* 56 */ {"设置第%d行OSD成功!", "set osd char line %d success!"},
    /* 57 */ {"版本查询成功! %s", "Version query success! %s"},
    /* 58 */ {"停止成功", "stop success!"},
    /* 59 */ {"保存成功", "save success"},
    /* 60 */ {"设置裁剪", "set crop"},
    /* 61 */ {"读取裁剪", "read crop"},
    /* 62 */ {"成功", "success"},
    /* 63 */ {"失败", "fail"},
    /* 64 */ {"读取照片", "read photos"},
    /* 65 */ {"设置上电自动拍照", "set power auto capture"},
    /* 66 */ {"设置智能侦测", "set Intelligent detection"},
    /* 67 */ {"图像设置成功", "set image success!"},
    /* 68 */ {"图像设置失败", "set image fail!"},
    /* 69 */ {"恢复默认图像参数成功", "reset image param success!"},
    /* 70 */ {"", ""},
    /* 71 */ {"指令错误!", "command error!"},
    /* 72 */ {"设置图片格式成功!", "set image format success!"},
    /* 73 */ {"读取成功,长度%ld!", "Read success,image length:%ld!"},
};

const char* StatusText(int index) {
  if (index < 0 || index >= kStatusMessageCount) return "";
  return g_statusMessages[index].english;
}

std::string FormatLogLine(const std::tm& now, const std::string& text, bool isError) {
  char stamp[16];
  std::snprintf(stamp, sizeof stamp, "(%02d:%02d:%02d) ", now.tm_hour, now.tm_min, now.tm_sec);
  return std::string(stamp) + (isError ? "Error:" : "") + text;
}
