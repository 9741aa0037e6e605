#!/bin/sh
# Draws toolbar.bmp: 11 images of 16x16 on magenta (the transparency key).
# 0 unused, 1 save, 2 copy, 3 properties, 4 exit, 5 start, 6 stop,
# 7 next, 8 previous, 9 HTML report, 10 restart.
cd "$(dirname "$0")"
M='#FF00FF'
img() { convert -size 16x16 xc:$M "$@" PNG24:- ; }
img > t0.png
img -fill '#2f5f9f' -draw 'rectangle 2,2 13,13' -fill white -draw 'rectangle 4,3 11,7' -fill '#1d3d66' -draw 'rectangle 5,10 10,13' > t1.png
img -fill white -stroke '#444444' -draw 'rectangle 1,1 9,11' -draw 'rectangle 6,4 14,14' > t2.png
img -fill '#f0f0f0' -stroke '#555555' -draw 'rectangle 2,1 13,14' -stroke '#2f5f9f' -draw 'line 4,4 11,4' -draw 'line 4,7 11,7' -draw 'line 4,10 9,10' > t3.png
img -fill '#c03030' -stroke '#801515' -draw 'rectangle 3,2 12,13' -stroke white -strokewidth 2 -draw 'line 5,5 10,10' -draw 'line 10,5 5,10' > t4.png
img -fill '#2e9a2e' -stroke '#1b6b1b' -draw 'polygon 4,2 13,8 4,14' > t5.png
img -fill '#cc2b2b' -stroke '#8a1414' -draw 'rectangle 3,3 12,12' > t6.png
img -fill '#2f5f9f' -stroke '#1d3d66' -draw 'polygon 3,5 12,5 7,12' > t7.png
img -fill '#2f5f9f' -stroke '#1d3d66' -draw 'polygon 3,11 12,11 7,4' > t8.png
img -fill white -stroke '#555555' -draw 'rectangle 2,1 13,14' -fill '#e07b00' -stroke none -draw 'rectangle 4,4 11,6' -fill '#2f5f9f' -draw 'rectangle 4,8 11,9' -draw 'rectangle 4,11 9,12' > t9.png
img -fill none -stroke '#2e9a2e' -strokewidth 2 -draw 'arc 2,2 13,13 40,330' -fill '#2e9a2e' -stroke none -draw 'polygon 10,1 15,5 9,7' > t10.png
convert t0.png t1.png t2.png t3.png t4.png t5.png t6.png t7.png t8.png t9.png t10.png +append -type TrueColor BMP3:toolbar.bmp
rm -f t*.png
