// One run: its reset and the per-frame simulation.
#pragma once

extern int x, y;          // ball centre
extern float p_spd;       // horizontal speed, pixels per frame
extern float p_acc;       // this frame's acceleration
extern float p_dec;       // this frame's friction
extern bool jump;         // airborne
extern int jumpforce;     // vertical speed in quarter pixels, up is positive
extern int hit;           // squash frames left after a landing
extern int on_land;       // clouds under the ball this frame
extern bool alive;
extern int speed_up;      // speed-up orbs credited, 0 to 5
extern int speed;         // scroll speed, pixels per frame
extern int score;         // orbs gathered
extern int distance;      // pixels scrolled while alive
extern int add_delay;     // frames until the next cloud
extern int star_delay;    // frames until the next orb
extern int bob;           // bobbing phase, radians
extern int float_h;       // orb bobbing offset, -3 to 3
extern int delay_start;   // loop_num of the frame of death
extern bool got_score;    // this run set a new best total

void reset_play();
void update_play();
