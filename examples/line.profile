{
  "format": 1,
  "image_size": "640X480",
  "compression": "0x36",
  "image_day": {"brightness": 128, "contrast": 128, "sharpness": 128, "saturation": 128,
                "hue": 128, "awb": "auto", "exposure": 0, "hlc": 4},
  "crop": {"enable": false, "x": 0, "y": 0, "width": 640, "height": 480}
}
