// The design bench/patch.sh patches: a ROM of 4096 32-bit words ("rom"),
// 16 KiB, which fills all 32 4-kbit RAMs of an iCE40 HX8K.
module top (input clk, input [11:0] addr, output reg [31:0] data);
  reg [31:0] rom [0:4095];
  initial $readmemh("rom.seed", rom);
  always @(posedge clk) data <= rom[addr];
endmodule
